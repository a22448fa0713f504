#include "net/IdTCPConnection.h"

#include "net/IdException.h"

namespace quillbox {

TIdTCPConnection::TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> ioHandler)
    : ioHandler_(std::move(ioHandler)) {}

TIdTCPConnection::~TIdTCPConnection() = default;

// Only the owner replaces the line connection, so the one it gets stays while it uses it.
TIdIOHandlerStack& TIdTCPConnection::IOHandler() {
  TMutexLock guard(ioHandlerLock_);
  if (!ioHandler_)
    throw EIdNotConnected();
  return *ioHandler_;
}

bool TIdTCPConnection::HasIOHandler() const {
  TMutexLock guard(ioHandlerLock_);
  return ioHandler_ != nullptr;
}

bool TIdTCPConnection::Connected() {
  return HasIOHandler() && IOHandler().IsConnected();
}

void TIdTCPConnection::Disconnect() {
  TMutexLock guard(ioHandlerLock_);
  if (ioHandler_)
    ioHandler_->Close();
}

void TIdTCPConnection::DisconnectGracefully() {
  TMutexLock guard(ioHandlerLock_);
  if (ioHandler_)
    ioHandler_->CloseGracefully();
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandlerStack> ioHandler) {
  // The old one goes after the lock is let go: its end closes a socket.
  std::unique_ptr<TIdIOHandlerStack> old;
  TMutexLock guard(ioHandlerLock_);
  old = std::move(ioHandler_);
  ioHandler_ = std::move(ioHandler);
}

}  // namespace quillbox
