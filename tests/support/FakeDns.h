#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

struct Counts {
  uint16_t answer = 0, authority = 0, additional = 0;
};
// A reply to query: its identifier and question, the flags (a standard recursive answer by
// default), the counts and the records as given.
std::string ReplyTo(const std::string& query, Counts counts, const std::string& records,
                    uint16_t flags = 0x8180);

struct Datagram {
  std::string bytes;
  bool fromOtherPort = false;  // sent from a second socket, as a spoofer would
};

// Answers every query with the datagrams its script returns for it, on 127.0.0.1 (or on ::1
// for family AF_INET6). Thread-safe.
class ScriptedDnsServer {
 public:
  using Script = std::function<std::vector<Datagram>(const std::string& query)>;
  explicit ScriptedDnsServer(Script script, int family = AF_INET);
  ~ScriptedDnsServer();
  ScriptedDnsServer(const ScriptedDnsServer&) = delete;
  ScriptedDnsServer& operator=(const ScriptedDnsServer&) = delete;

  int Port() const { return port_; }
  std::vector<std::string> Queries() const;

 private:
  void Run();

  Script script_;
  int fd_ = -1;
  int otherFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> queries_;
  std::thread thread_;
};

// Answers A and AAAA queries from a table of names and their addresses, dotted quads for A and
// IPv6 addresses for AAAA (a name without addresses of the type asked gets an empty answer);
// names not in the table get NXDOMAIN. Thread-safe.
class FakeDnsServer {
 public:
  explicit FakeDnsServer(int family = AF_INET);
  int Port() const { return server_.Port(); }
  void SetAddresses(std::map<std::string, std::vector<std::string>> addresses);
  std::vector<std::string> Queries() const { return server_.Queries(); }

 private:
  std::vector<Datagram> Answer(const std::string& query);

  std::mutex lock_;  // guards addresses_
  std::map<std::string, std::vector<std::string>> addresses_;
  ScriptedDnsServer server_;
};

// The question name of a query, dotted ("" when the query is too short to hold one), and the
// question's type code (0 when the query is too short to hold one).
std::string QuestionName(const std::string& query);
uint16_t QuestionType(const std::string& query);

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
  mutable std::mutex lock_;  // guards asked_ and reversed_
  std::vector<std::string> asked_;
  std::vector<std::string> reversed_;
};

}  // namespace quillbox::test
