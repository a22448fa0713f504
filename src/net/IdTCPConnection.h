#pragma once

#include <memory>

#include "base/Mutex.h"
#include "net/IdIOHandler.h"

namespace quillbox {

// A TCP connection holding its line connection. Used by one thread; Disconnect() is also safe
// from another thread (it only closes the socket), which is how shutdowns wake a blocked reader.
// ioHandlerLock_ guards which line connection there is; the owner replaces it, another thread only
// closes it.
class TIdTCPConnection {
 public:
  TIdTCPConnection() = default;
  explicit TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> ioHandler);
  virtual ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // The line connection; raises EIdNotConnected when there is none (a client before Connect).
  TIdIOHandlerStack& IOHandler() EXCLUDES(ioHandlerLock_);
  bool HasIOHandler() const EXCLUDES(ioHandlerLock_);

  // The line connection's IsConnected; false without one.
  bool Connected() EXCLUDES(ioHandlerLock_);
  // Closes the line connection without any exchange. Thread-safe.
  virtual void Disconnect() EXCLUDES(ioHandlerLock_);
  // Ends the connection in good order (TIdIOHandlerStack::CloseGracefully): only on the thread
  // that uses it.
  void DisconnectGracefully() EXCLUDES(ioHandlerLock_);

 protected:
  // Replaces the line connection under the lock that Disconnect takes.
  void SetIOHandler(std::unique_ptr<TIdIOHandlerStack> ioHandler) EXCLUDES(ioHandlerLock_);
  TMutex& IOHandlerLock() RETURN_CAPABILITY(ioHandlerLock_) { return ioHandlerLock_; }

 private:
  mutable TMutex ioHandlerLock_;
  std::unique_ptr<TIdIOHandlerStack> ioHandler_ GUARDED_BY(ioHandlerLock_);
};

}  // namespace quillbox
