#pragma once

// Peers for the proxy's tests: a scripted real POP3 server, a mail client, a DNS server and a
// name service, all on loopback with bounded waits, plus a log that records every line.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "pop3/IdStack.h"
#include "proxy/ConnectionIndicator.h"
#include "proxy/Quillbox_Main.h"

namespace quillbox::test {

constexpr int kWaitMs = 5000;

class CapturingLog : public LogSink {
 public:
  void AddToMemo(const std::string& line) override;
  std::vector<std::string> Lines();
  // Waits until a line equal to line has been logged.
  bool WaitFor(const std::string& line, int timeoutMs = kWaitMs);
  // The lines logged since the first one equal to from (all lines when there is none).
  std::vector<std::string> Since(const std::string& from);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class CountingIndicator : public ConnectionIndicator {
 public:
  void EnableTimer() override { ++calls; }
  std::atomic<int> calls{0};
};

// Host names by address; every other address has none, like an address without a PTR record.
class FakeNameService : public TIdStack {
 public:
  std::string HostByName(const std::string& hostName) override;
  std::string AddressToHostName(const std::string& address) override;
  std::map<std::string, std::string> names;
};

// A listening loopback TCP socket with an accept thread; each connection runs serve on a
// thread of its own. Stops and joins everything on destruction.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> serve);
  ~LoopbackServer();
  int Port() const { return port_; }

 private:
  std::function<void(int)> serve_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// Reads lines from a socket with a deadline; false, with the line "<timeout>" or "<closed>",
// when none came.
class LineSocket {
 public:
  explicit LineSocket(int fd) : fd_(fd) {}
  bool ReadLine(std::string& line, int timeoutMs = kWaitMs);
  void Write(const std::string& bytes);
  int Fd() const { return fd_; }

 private:
  int fd_;
  std::string buffer_;
};

// A real POP3 server over a list of messages (each a list of lines), accepting one user.
// Script overrides the answer to any command: it gets the command line and returns the raw
// bytes to send (ending with kClose: then drop the connection) or kStall to say nothing; an empty
// string falls back to the mailbox.
class ScriptedUpstream {
 public:
  static constexpr const char* kClose = "<close>";
  static constexpr const char* kStall = "<stall>";  // no answer at all

  ScriptedUpstream();
  int Port() const { return server_.Port(); }
  std::vector<std::string> Commands();  // every command line received, in order

  std::string user = "alice";
  std::string password = "s3cret";
  std::string greeting = "+OK scripted server ready";
  std::vector<std::string> capabilities = {"TOP", "uidl", "SASL PLAIN", "PIPELINING"};
  std::vector<std::vector<std::string>> messages;
  std::function<std::string(const std::string& command)> script;

 private:
  void Serve(int fd);
  std::string Answer(const std::string& command);

  std::mutex lock_;
  std::vector<std::string> commands_;
  LoopbackServer server_;
};

// Answers A queries from a table over UDP on 127.0.0.1; other names get NXDOMAIN.
class FakeDnsServer {
 public:
  FakeDnsServer();
  ~FakeDnsServer();
  int Port() const { return port_; }
  void SetAddresses(std::map<std::string, std::vector<std::string>> addresses);

 private:
  void Run();
  std::mutex lock_;
  std::map<std::string, std::vector<std::string>> addresses_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A mail client of the proxy.
class Pop3Client {
 public:
  // from: the local address to connect from (default 127.0.0.1).
  explicit Pop3Client(int port, const char* from = nullptr);
  ~Pop3Client();
  std::string ReadLine();              // "<timeout>" or "<closed>" on failure
  void Send(const std::string& line);  // line + CR LF
  void Write(const std::string& bytes);
  std::string Command(const std::string& line);  // the first reply line
  std::vector<std::string> ReadUntilDot();       // raw (stuffed) lines without the "."
  bool Closed();                                 // the proxy closed the connection

 private:
  int fd_;
  LineSocket socket_;
};

// A proxy listening on a loopback port, with its log, fake lookups and a scripted real server.
// Members are destroyed in reverse order, so the listener stops before its peers go away.
class ProxyHarness {
 public:
  ProxyHarness();
  ~ProxyHarness();
  // Activates the listener (after the test has set up the upstream mailbox and options).
  void Start();
  // Writes a rule file into the harness's own folder and returns its path.
  std::string RuleFile(const std::string& name, const std::string& content);
  // "alice#127.0.0.1:<upstream port>;<rule file>"
  std::string LoginName(const std::string& ruleFile);
  // Connects, logs in with the given rule file content, checks the replies.
  std::unique_ptr<Pop3Client> LoggedIn(const std::string& rules = "");

  CapturingLog log;
  CountingIndicator indicator;
  FakeNameService names;
  FakeDnsServer dns;
  ScriptedUpstream upstream;
  TQuillboxProxy proxy;
  int port = 0;
  std::string folder;
};

// A message as lines: header lines, an empty line, body lines.
std::vector<std::string> Message(std::vector<std::string> header, std::vector<std::string> body);

}  // namespace quillbox::test
