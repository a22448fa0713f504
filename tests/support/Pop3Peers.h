#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/LogSink.h"
#include "base/Mutex.h"
#include "net/IdTCPClient.h"
#include "support/Loopback.h"

// POP3 peers for tests: a scripted real server, a mail client and a log that records every line.
namespace quillbox::test {

// Records every log line. Thread-safe.
class CapturingLog : public LogSink {
 public:
  void AddToMemo(const std::string& line) override;
  std::vector<std::string> Lines();
  // Waits until a line equal to line has been logged.
  bool WaitFor(const std::string& line, int timeoutMs = kWaitMs);
  // The lines logged since the first one equal to from (all lines when there is none).
  std::vector<std::string> Since(const std::string& from);

 private:
  TMutex lock_;
  TCondVar changed_;
  std::vector<std::string> lines_ GUARDED_BY(lock_);
};

// A real POP3 server over a list of messages (each a list of lines), accepting one user.
// Set it up before the first connection; Commands() is thread-safe.
// Script overrides the answer to any command: it gets the command line and returns the raw
// bytes to send (ending with kClose: then drop the connection) or kStall to say nothing; an empty
// string falls back to the mailbox. Bytes, kRepeat and a block send the bytes, then the block
// again and again until the peer goes, counted in Repeated(). Commands sent before the answer to
// the one before them (pipelined) are answered in order, and counted in Pipelined().
class ScriptedUpstream {
 public:
  static constexpr const char* kClose = "<close>";
  static constexpr const char* kStall = "<stall>";  // no answer at all
  static constexpr std::string_view kRepeat = "<repeat>";

  ScriptedUpstream();
  int Port() const { return server_.Port(); }
  std::vector<std::string> Commands();           // every command line received, in order
  size_t Repeated() const { return repeated_; }  // bytes sent of repeated blocks
  size_t Pipelined() const { return pipelined_; }
  size_t Dropped() const { return dropped_; }  // connections the peer closed, not at QUIT

  std::string user = "alice";
  std::string password = "s3cret";
  std::string greeting = "+OK scripted server ready";  // kStall: none
  std::vector<std::string> capabilities = {"TOP", "uidl", "SASL PLAIN", "PIPELINING"};
  std::vector<std::vector<std::string>> messages;
  std::function<std::string(const std::string& command)> script;

 private:
  void Serve(int fd);
  std::string Answer(const std::string& command);

  TMutex lock_;
  std::vector<std::string> commands_ GUARDED_BY(lock_);
  std::atomic<size_t> repeated_{0};
  std::atomic<size_t> pipelined_{0};
  std::atomic<size_t> dropped_{0};
  LoopbackServer server_;
};

// A mail client on loopback, on the program's own client connection so that it can start TLS.
// Lines may be as long as the peer sends them. Used by one thread.
class Pop3Client {
 public:
  // from: the local address to connect from (default 127.0.0.1); an IPv6 one connects to ::1.
  explicit Pop3Client(int port, const char* from = nullptr);
  std::string ReadLine();              // "<timeout>" or "<closed>" on failure
  void Send(const std::string& line);  // line + CR LF
  void Write(const std::string& bytes);
  std::string Command(const std::string& line);  // the first reply line
  std::vector<std::string> ReadUntilDot();       // raw (stuffed) lines without the "."
  // The bytes of a multi-line answer as they came, without the terminating line, whatever the
  // length of its lines; "<timeout>" or "<closed>" on failure.
  std::string ReadBytesUntilDot();
  bool Closed();  // the proxy closed the connection
  // How long each read waits, kWaitMs unless set: longer where a peer of the test needs its time.
  void SetReadTimeout(int timeoutMs);
  // Runs the client's TLS handshake for "localhost", verified against the certificates of
  // caFile ("": not verified). Returns "" or what went wrong.
  std::string StartTLS(const std::string& caFile = "");

 private:
  TIdTCPClient client_;
};

// A message as lines: header lines, an empty line, body lines.
std::vector<std::string> Message(std::vector<std::string> header, std::vector<std::string> body);

}  // namespace quillbox::test
