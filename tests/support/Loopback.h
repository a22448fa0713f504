#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Mutex.h"
#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"

// Loopback networking for tests: every wait is bounded, every thread joined.
namespace quillbox::test {

// How long a test waits for anything a peer should do at once.
constexpr int kWaitMs = 5000;

// A bare listening socket that accepts only when asked (until then clients wait in the backlog,
// which makes a silent server).
class LoopbackListener {
 public:
  explicit LoopbackListener(const std::string& ip = "127.0.0.1", TIdIPVersion version = Id_IPv4);

  int Port() const { return port_; }

  // The next client as a line connection (5 s read timeout), or nullptr after 5 s.
  std::unique_ptr<TIdIOHandlerStack> Accept();

 private:
  std::unique_ptr<TIdPosixSocket> socket_;
  int port_;
};

// A listening loopback TCP socket with an accept thread; each connection runs serve on a
// thread of its own. Stops and joins everything on destruction.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> serve);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  int Port() const { return port_; }

 private:
  std::function<void(int)> serve_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  TMutex lock_;
  std::vector<int> fds_ GUARDED_BY(lock_);
  std::vector<std::thread> threads_ GUARDED_BY(lock_);
  std::thread acceptor_;
};

// Reads lines from a socket with a deadline; false, with the line "<timeout>" or "<closed>",
// when none came. Used by one thread.
class LineSocket {
 public:
  explicit LineSocket(int fd) : fd_(fd) {}
  bool ReadLine(std::string& line, int timeoutMs = kWaitMs);
  bool Write(std::string_view bytes);  // false: the peer has gone
  // Whether bytes are waiting to be read, buffered or in the socket.
  bool Waiting();
  int Fd() const { return fd_; }

 private:
  int fd_;
  std::string buffer_;
};

// What a program under test serves instead of its configured ports: a loopback binding on a
// port the system picks, and a TLS one when asked. After activation the listener's Bindings()
// hold the ports.
std::vector<TIdSocketHandle> LoopbackBindings(bool tls = false);

// A loopback socket of the given type bound to a port the system picks; sets port. family
// AF_INET6 binds to ::1.
int BoundLoopbackSocket(int type, int& port, int family = AF_INET);

// The descriptors this process holds now.
size_t OpenDescriptors();

// Polls the condition until it holds, for up to timeoutMs; false when it never did.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

}  // namespace quillbox::test
