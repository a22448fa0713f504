#pragma once

// The proxy on a loopback port with its peers: a scripted real server, a fake DNS server, a fake
// name service and a log that records every line.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proxy/ConnectionIndicator.h"
#include "proxy/Quillbox_Main.h"
#include "support/FakeDns.h"
#include "support/Pop3Peers.h"

namespace quillbox::test {

// The four lines Quillbox adds to a message it could not judge.
inline const std::vector<std::string> kFour = {
    "X-Quillbox-Sender-IP-Address: Unextracted", "X-Quillbox-Sender-Hostname: Unresolved",
    "X-Quillbox-Lookuped-IP-Address: Unresolved", "X-Quillbox-Status: Unknown"};

// The lines with kFour where "<4>" stands.
std::vector<std::string> WithFour(std::vector<std::string> lines);

class CountingIndicator : public ConnectionIndicator {
 public:
  void EnableTimer() override { ++calls; }
  std::atomic<int> calls{0};
};

// The most heap memory in use (as glibc counts it) while it lives, above what was in use when it
// began, sampled every millisecond: what the proxy holds while an answer streams through it.
// Reads about 0 under the sanitizers, whose allocator glibc does not count. Used by one thread;
// its own sampling thread touches only the atomics.
class HeapPeak {
 public:
  HeapPeak();
  ~HeapPeak();
  size_t Growth() const { return peak_ - start_; }

 private:
  static size_t InUse();

  size_t start_;
  std::atomic<size_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread sampler_;
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
  // Connects, sends USER and PASS, returns the reply to PASS.
  std::string LoginReply(const std::string& loginName, const std::string& password);
  // Connects, logs in with the given rule file content, checks the replies.
  std::unique_ptr<Pop3Client> LoggedIn(const std::string& rules = "");
  // Whether a new client is greeted within the time (a place under MaxConnections is free).
  bool GreetsWithin(std::chrono::milliseconds time);

  CapturingLog log;
  CountingIndicator indicator;
  FakeNameService names;
  FakeDnsServer dns;
  ScriptedUpstream upstream;
  TQuillboxProxy proxy;
  int port = 0;
  std::string folder;
};

}  // namespace quillbox::test
