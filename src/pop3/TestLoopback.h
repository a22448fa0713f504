#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "pop3/IdIOHandler.h"
#include "pop3/IdSocketHandle.h"

namespace quillbox {

// Test helpers for loopback networking: a bare listening socket that accepts only when asked
// (until then clients wait in the backlog, which makes a silent server), a port that nothing
// listens on, and a bounded wait.
class LoopbackListener {
 public:
  explicit LoopbackListener(const std::string& ip = "127.0.0.1", TIdIPVersion version = Id_IPv4)
      : socket_(TIdPosixSocket::Create(version)) {
    socket_->Bind(ip, 0);
    socket_->Listen(15);
    port_ = socket_->LocalPort();
  }

  int Port() const { return port_; }

  // The next client as a line connection, or nullptr after 5 s.
  std::unique_ptr<TIdIOHandlerStack> Accept() {
    auto client = socket_->Accept(5000);
    if (!client)
      return nullptr;
    auto io = std::make_unique<TIdIOHandlerStack>();
    io->Open(std::move(client));
    io->ReadTimeout = 5000;
    return io;
  }

 private:
  std::unique_ptr<TIdPosixSocket> socket_;
  int port_;
};

// A loopback port that was free a moment ago.
inline int FreePort() {
  auto socket = TIdPosixSocket::Create(Id_IPv4);
  socket->Bind("127.0.0.1", 0);
  return socket->LocalPort();
}

// Polls the condition for up to 5 s.
inline bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace quillbox
