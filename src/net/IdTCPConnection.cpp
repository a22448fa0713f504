#include "net/IdTCPConnection.h"

#include "net/IdException.h"

namespace quillbox {

TIdTCPConnection::TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> ioHandler)
    : ioHandler_(std::move(ioHandler)) {}

TIdTCPConnection::~TIdTCPConnection() = default;

TIdIOHandlerStack& TIdTCPConnection::IOHandler() {
  if (!ioHandler_)
    throw EIdNotConnected();
  return *ioHandler_;
}

bool TIdTCPConnection::Connected() {
  return ioHandler_ != nullptr && ioHandler_->IsConnected();
}

void TIdTCPConnection::Disconnect() {
  std::lock_guard<std::mutex> guard(ioHandlerLock_);
  if (ioHandler_)
    ioHandler_->Close();
}

void TIdTCPConnection::DisconnectGracefully() {
  std::lock_guard<std::mutex> guard(ioHandlerLock_);
  if (ioHandler_)
    ioHandler_->CloseGracefully();
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandlerStack> ioHandler) {
  std::unique_ptr<TIdIOHandlerStack> old;
  std::lock_guard<std::mutex> guard(ioHandlerLock_);
  old = std::move(ioHandler_);
  ioHandler_ = std::move(ioHandler);
}

}  // namespace quillbox
