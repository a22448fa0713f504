#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Mutex.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

// Test support for name lookups: DNS messages written byte by byte, DNS servers on 127.0.0.1
// (scripted datagram by datagram, or answering from a table) and a fake name service.
namespace quillbox::test {

// "a.b" as wire labels with the terminating zero byte.
std::string WireName(const std::string& dotted);
// A compression pointer to offset (12 is the question's name).
std::string Pointer(uint16_t offset);
std::string U16(uint16_t value);

// A resource record: owner (wire form), type, class IN, TTL, data.
std::string Record(const std::string& owner, uint16_t type, const std::string& data,
                   uint32_t ttl = 3600);
std::string ARecord(const std::string& owner, const std::string& dottedQuad, uint32_t ttl = 3600);
std::string AAAARecord(const std::string& owner, const std::string& ipv6, uint32_t ttl = 3600);

// The OPT record of EDNS0 offering payload bytes of UDP reply, and the offer of a query's OPT
// record (none when the query has none where a client puts it: first after the question).
std::string OptRecord(uint16_t payload = 1232);
std::optional<uint16_t> OptPayload(const std::string& query);

struct Counts {
  uint16_t answer = 0, authority = 0, additional = 0;
};
// A reply to query: its identifier and question, the flags (a standard recursive answer by
// default; 0x8380 adds TC), the counts and the records as given.
std::string ReplyTo(const std::string& query, Counts counts, const std::string& records,
                    uint16_t flags = 0x8180);
// A message as a TCP stream carries it: its length in two bytes first.
std::string Framed(const std::string& message);

struct Datagram {
  std::string bytes;
  bool fromOtherPort = false;  // sent from a second socket, as a spoofer would
};

// What the server does on a TCP connection once it has read a query from it: write bytes as they
// stand (Framed(ReplyTo(...)) for a proper answer), then close, or with hold stay silent until
// the client closes.
struct Stream {
  std::string bytes;
  bool hold = false;
};

// Answers every query with the datagrams its script returns for it, on 127.0.0.1 (or on ::1
// for family AF_INET6); over TCP on the same port with its stream script, one connection at a
// time. Without a stream script the TCP port is held but refuses connections. Thread-safe.
class ScriptedDnsServer {
 public:
  using Script = std::function<std::vector<Datagram>(const std::string& query)>;
  using StreamScript = std::function<Stream(const std::string& query)>;
  explicit ScriptedDnsServer(Script script, int family = AF_INET, StreamScript stream = nullptr);
  ~ScriptedDnsServer();
  ScriptedDnsServer(const ScriptedDnsServer&) = delete;
  ScriptedDnsServer& operator=(const ScriptedDnsServer&) = delete;

  int Port() const { return port_; }
  std::vector<std::string> Queries() const;        // over UDP
  std::vector<std::string> StreamQueries() const;  // over TCP, without their length fields

 private:
  void Run();
  void RunStreams();
  void Serve(TIdPosixSocket& connection);

  Script script_;
  StreamScript stream_;
  int fd_ = -1;
  int otherFd_ = -1;
  int port_ = 0;
  std::unique_ptr<TIdPosixSocket> tcp_;
  std::atomic<bool> stop_{false};
  mutable TMutex mutex_;
  std::vector<std::string> queries_ GUARDED_BY(mutex_);
  std::vector<std::string> streamQueries_ GUARDED_BY(mutex_);
  std::thread thread_;
  std::thread streamThread_;
};

// Answers A and AAAA queries from a table of names and their addresses, dotted quads for A and
// IPv6 addresses for AAAA (a name without addresses of the type asked gets an empty answer);
// names not in the table get NXDOMAIN. As a real server does, it answers EDNS0 with an OPT
// record, truncates an answer over UDP to the size the query offers (512 bytes without EDNS0)
// and sets TC, and answers whole over TCP. Thread-safe.
class FakeDnsServer {
 public:
  explicit FakeDnsServer(int family = AF_INET);
  int Port() const { return server_.Port(); }
  void SetAddresses(std::map<std::string, std::vector<std::string>> addresses);
  std::vector<std::string> Queries() const { return server_.Queries(); }
  std::vector<std::string> StreamQueries() const { return server_.StreamQueries(); }

 private:
  std::string Answer(const std::string& query, size_t limit);

  TMutex lock_;
  std::map<std::string, std::vector<std::string>> addresses_ GUARDED_BY(lock_);
  ScriptedDnsServer server_;
};

// The question name of a query, dotted ("" when the query is too short to hold one), the
// question's type code (0 when the query is too short to hold one), and the offset after the
// question (the query's size when it is too short to hold one).
std::string QuestionName(const std::string& query);
uint16_t QuestionType(const std::string& query);
size_t QuestionEnd(const std::string& query);

// A name service that knows only the names a test gives it; anything else raises the socket
// error for an unknown host, as the real one does. Set the tables before use; the lookups may
// then come from any thread.
class FakeNameService : public TIdStack {
 public:
  std::map<std::string, std::string> addressOf;  // host name -> address (HostByName)
  std::map<std::string, std::string> nameOf;     // address -> host name (AddressToHostName)

  // How long each reverse lookup blocks, as the system resolver's does while it waits.
  std::chrono::milliseconds reverseDelay{0};

  std::string HostByName(const std::string& hostName) override;
  std::string AddressToHostName(const std::string& address) override;
  // Every host name HostByName was asked for, in order; every address AddressToHostName was.
  std::vector<std::string> Asked() const;
  std::vector<std::string> Reversed() const;

 private:
  mutable TMutex lock_;
  std::vector<std::string> asked_ GUARDED_BY(lock_);
  std::vector<std::string> reversed_ GUARDED_BY(lock_);
};

}  // namespace quillbox::test
