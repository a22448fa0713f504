#pragma once

#include <memory>
#include <mutex>

#include "net/IdIOHandler.h"

namespace quillbox {

// A TCP connection holding its line connection. Used by one thread; Disconnect() is also safe
// from another thread (it only closes the socket), which is how shutdowns wake a blocked reader.
class TIdTCPConnection {
 public:
  TIdTCPConnection() = default;
  explicit TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> ioHandler);
  virtual ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // The line connection; raises EIdNotConnected when there is none (a client before Connect).
  TIdIOHandlerStack& IOHandler();
  bool HasIOHandler() const { return ioHandler_ != nullptr; }

  // The line connection's IsConnected; false without one.
  bool Connected();
  // Closes the line connection without any exchange. Thread-safe.
  virtual void Disconnect();
  // Ends the connection in good order (TIdIOHandlerStack::CloseGracefully): only on the thread
  // that uses it.
  void DisconnectGracefully();

 protected:
  // Replaces the line connection under the lock that Disconnect takes.
  void SetIOHandler(std::unique_ptr<TIdIOHandlerStack> ioHandler);
  std::mutex& IOHandlerLock() { return ioHandlerLock_; }

 private:
  std::mutex ioHandlerLock_;
  std::unique_ptr<TIdIOHandlerStack> ioHandler_;
};

}  // namespace quillbox
