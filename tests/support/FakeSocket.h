#pragma once

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>

#include "base/Mutex.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"

namespace quillbox::test {

// A scripted peer for tests and fuzzers. Receives play the script in order: each data step is
// handed out by at most one receive (a long step takes several, MaxReceive bytes each), an error
// step fails one receive, a hang step blocks until Close. After the script the peer has closed
// (receives return 0); HungUp() says so as soon as no hang step is left, as a real socket says
// it while the peer's last bytes are still unread. Sends are recorded; they can be cut short or
// made to fail. Thread-safe.
class FakeSocket : public TIdSocket {
 public:
  void AddData(std::string bytes) { Push({Step::kData, std::move(bytes), 0}); }
  void AddError(int err) { Push({Step::kError, {}, err}); }
  void AddHang() { Push({Step::kHang, {}, 0}); }
  // The peer closes now: its hang steps go, so receives end after the data left.
  void PeerCloses() {
    TMutexLock guard(lock_);
    std::erase_if(script_, [](const Step& step) { return step.kind == Step::kHang; });
    wake_.NotifyAll();
  }

  // Bytes sent so far.
  std::string Sent() const {
    TMutexLock guard(lock_);
    return sent_;
  }
  size_t SendCalls() const {
    TMutexLock guard(lock_);
    return sendCalls_;
  }
  size_t ReceiveCalls() const {
    TMutexLock guard(lock_);
    return receiveCalls_;
  }

  size_t MaxReceive = static_cast<size_t>(-1);
  size_t MaxSend = static_cast<size_t>(-1);
  int SendError = 0;  // errno every send fails with, 0: none

  bool WaitReadable(int timeoutMs) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    TMutexLock guard(lock_);
    while (!Ready()) {
      const auto now = std::chrono::steady_clock::now();
      if (timeoutMs < 0)
        wake_.Wait(lock_);
      else if (now >= deadline)
        return false;
      else
        wake_.WaitFor(lock_, deadline - now);
    }
    return true;
  }

  size_t Receive(char* data, size_t size) override {
    TMutexLock guard(lock_);
    ++receiveCalls_;
    while (!Ready())
      wake_.Wait(lock_);
    if (closed_)
      throw EIdClosedSocket();
    if (script_.empty())
      return 0;
    Step& step = script_.front();
    if (step.kind == Step::kError) {
      const int err = step.err;
      script_.pop_front();
      RaiseSocketError(err);
    }
    const size_t n = std::min({size, MaxReceive, step.bytes.size()});
    std::memcpy(data, step.bytes.data(), n);
    step.bytes.erase(0, n);
    if (step.bytes.empty())
      script_.pop_front();
    return n;
  }

  size_t Send(const char* data, size_t size) override {
    TMutexLock guard(lock_);
    ++sendCalls_;
    if (closed_)
      throw EIdClosedSocket();
    if (SendError != 0)
      RaiseSocketError(SendError);
    const size_t n = std::min(size, MaxSend);
    sent_.append(data, n);
    return n;
  }

  void Close() override {
    TMutexLock guard(lock_);
    closed_ = true;
    wake_.NotifyAll();
  }
  bool IsOpen() const override {
    TMutexLock guard(lock_);
    return !closed_;
  }
  bool HungUp() override {
    TMutexLock guard(lock_);
    return closed_ || std::none_of(script_.begin(), script_.end(),
                                   [](const Step& step) { return step.kind == Step::kHang; });
  }
  std::string PeerIP() const override { return "127.0.0.1"; }
  int PeerPort() const override { return 50000; }

 private:
  struct Step {
    enum Kind { kData, kError, kHang } kind;
    std::string bytes;
    int err;
  };

  bool Ready() const REQUIRES(lock_) {
    return closed_ || script_.empty() || script_.front().kind != Step::kHang;
  }

  void Push(Step step) {
    TMutexLock guard(lock_);
    // An empty data step would read as the peer closing; it means nothing here.
    if (step.kind != Step::kData || !step.bytes.empty())
      script_.push_back(std::move(step));
    wake_.NotifyAll();
  }

  mutable TMutex lock_;
  TCondVar wake_;
  std::deque<Step> script_ GUARDED_BY(lock_);
  std::string sent_ GUARDED_BY(lock_);
  size_t sendCalls_ GUARDED_BY(lock_) = 0;
  size_t receiveCalls_ GUARDED_BY(lock_) = 0;
  bool closed_ GUARDED_BY(lock_) = false;
};

}  // namespace quillbox::test
