#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

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
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(script_, [](const Step& step) { return step.kind == Step::kHang; });
    wake_.notify_all();
  }

  // Bytes sent so far.
  std::string Sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
  }
  size_t SendCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sendCalls_;
  }
  size_t ReceiveCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return receiveCalls_;
  }

  size_t MaxReceive = static_cast<size_t>(-1);
  size_t MaxSend = static_cast<size_t>(-1);
  int SendError = 0;  // errno every send fails with, 0: none

  bool WaitReadable(int timeoutMs) override {
    std::unique_lock<std::mutex> guard(lock_);
    auto ready = [this] {
      return closed_ || script_.empty() || script_.front().kind != Step::kHang;
    };
    if (timeoutMs < 0)
      wake_.wait(guard, ready);
    else if (!wake_.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready))
      return false;
    return true;
  }

  size_t Receive(char* data, size_t size) override {
    std::unique_lock<std::mutex> guard(lock_);
    ++receiveCalls_;
    wake_.wait(guard, [this] {
      return closed_ || script_.empty() || script_.front().kind != Step::kHang;
    });
    if (closed_)
      throw EIdClosedSocket();
    if (script_.empty())
      return 0;
    Step& step = script_.front();
    if (step.kind == Step::kError) {
      const int err = step.err;
      script_.pop_front();
      guard.unlock();
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
    std::lock_guard<std::mutex> guard(lock_);
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
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    wake_.notify_all();
  }
  bool IsOpen() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return !closed_;
  }
  bool HungUp() override {
    std::lock_guard<std::mutex> guard(lock_);
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

  void Push(Step step) {
    std::lock_guard<std::mutex> guard(lock_);
    // An empty data step would read as the peer closing; it means nothing here.
    if (step.kind != Step::kData || !step.bytes.empty())
      script_.push_back(std::move(step));
    wake_.notify_all();
  }

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Step> script_;
  std::string sent_;
  size_t sendCalls_ = 0;
  size_t receiveCalls_ = 0;
  bool closed_ = false;
};

}  // namespace quillbox::test
