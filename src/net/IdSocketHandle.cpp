#include "net/IdSocketHandle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net/IdException.h"

namespace quillbox {

namespace {

// How long one wait of a connect lasts before it looks again at the clock and at Close.
constexpr int kConnectSliceMs = 125;

union SockAddr {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;
  sockaddr_storage storage;
};

socklen_t MakeAddress(TIdIPVersion version, const std::string& ip, int port, SockAddr& addr) {
  addr = SockAddr{};
  if (version == Id_IPv6) {
    addr.v6.sin6_family = AF_INET6;
    addr.v6.sin6_port = htons(static_cast<uint16_t>(port));
    addr.v6.sin6_addr = in6addr_any;
    if (!ip.empty() && inet_pton(AF_INET6, ip.c_str(), &addr.v6.sin6_addr) != 1)
      throw EIdSocketError(10022);
    return sizeof addr.v6;
  }
  addr.v4.sin_family = AF_INET;
  addr.v4.sin_port = htons(static_cast<uint16_t>(port));
  addr.v4.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!ip.empty() && inet_pton(AF_INET, ip.c_str(), &addr.v4.sin_addr) != 1)
    throw EIdSocketError(10022);
  return sizeof addr.v4;
}

void DescribeAddress(const SockAddr& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.any.sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &addr.v6.sin6_addr, text, sizeof text);
    port = ntohs(addr.v6.sin6_port);
  } else if (addr.any.sa_family == AF_INET) {
    inet_ntop(AF_INET, &addr.v4.sin_addr, text, sizeof text);
    port = ntohs(addr.v4.sin_port);
  }
  ip = text;
}

// poll, continued after a signal; the result of poll otherwise.
int PollOne(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// One send of the descriptor, continued after a signal. With MSG_DONTWAIT a full send buffer
// gives 0 instead of a wait.
size_t SendOnce(int fd, const char* data, size_t size, int flags) {
  ssize_t n;
  do {
    n = ::send(fd, data, size, MSG_NOSIGNAL | flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (flags & MSG_DONTWAIT) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return 0;
  if (n < 0)
    RaiseSocketError(errno);
  return static_cast<size_t>(n);
}

}  // namespace

// Lends the descriptor to one operation, so that a concurrent Close cannot release it while the
// operation still uses it.
class TIdPosixSocket::Lease {
 public:
  explicit Lease(const TIdPosixSocket& socket) : socket_(socket) {
    TMutexLock guard(socket_.lock_);
    if (socket_.closed_)
      throw EIdClosedSocket();
    ++socket_.users_;
    fd_ = socket_.fd_;
  }
  ~Lease() {
    TMutexLock guard(socket_.lock_);
    if (--socket_.users_ == 0 && socket_.closed_ && socket_.fd_ >= 0) {
      ::close(socket_.fd_);
      socket_.fd_ = -1;
    }
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  int fd() const { return fd_; }
  // Raises EIdClosedSocket when Close came while the operation waited.
  void ThrowIfClosed() const {
    TMutexLock guard(socket_.lock_);
    if (socket_.closed_)
      throw EIdClosedSocket();
  }

 private:
  const TIdPosixSocket& socket_;
  int fd_;
};

std::unique_ptr<TIdPosixSocket> TIdPosixSocket::Create(TIdIPVersion version) {
  const int fd =
      ::socket(version == Id_IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0)
    RaiseSocketError(errno);
  auto socket = std::make_unique<TIdPosixSocket>(fd);
  socket->version_ = version;
  return socket;
}

TIdPosixSocket::TIdPosixSocket(int fd) : fd_(fd) {
  SockAddr addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, &addr.any, &len) == 0 && addr.any.sa_family == AF_INET6)
    version_ = Id_IPv6;
  len = sizeof addr;
  if (::getpeername(fd, &addr.any, &len) == 0)
    DescribeAddress(addr, peerIP_, peerPort_);
}

TIdPosixSocket::~TIdPosixSocket() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool TIdPosixSocket::WaitReadable(int timeoutMs) {
  Lease lease(*this);
  const int rc = PollOne(lease.fd(), POLLIN, timeoutMs);
  if (rc < 0)
    RaiseSocketError(errno);
  return rc > 0;
}

size_t TIdPosixSocket::Receive(char* data, size_t size) {
  Lease lease(*this);
  ssize_t n;
  do {
    n = ::recv(lease.fd(), data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    RaiseSocketError(errno);
  return static_cast<size_t>(n);
}

size_t TIdPosixSocket::Send(const char* data, size_t size) {
  Lease lease(*this);
  return SendOnce(lease.fd(), data, size, 0);
}

size_t TIdPosixSocket::SendNoWait(const char* data, size_t size) {
  Lease lease(*this);
  return SendOnce(lease.fd(), data, size, MSG_DONTWAIT);
}

void TIdPosixSocket::Close() {
  TMutexLock guard(lock_);
  if (closed_)
    return;
  closed_ = true;
  if (fd_ < 0)
    return;
  ::shutdown(fd_, SHUT_RDWR);
  if (users_ == 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool TIdPosixSocket::IsOpen() const {
  TMutexLock guard(lock_);
  return !closed_;
}

bool TIdPosixSocket::HungUp() {
  if (!IsOpen())
    return true;
  Lease lease(*this);
  pollfd p{lease.fd(), POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0)
    return false;  // nothing known; the next real read will tell
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string TIdPosixSocket::PeerIP() const {
  TMutexLock guard(lock_);
  return peerIP_;
}

int TIdPosixSocket::PeerPort() const {
  TMutexLock guard(lock_);
  return peerPort_;
}

void TIdPosixSocket::SetReuseAddress() {
  Lease lease(*this);
  const int on = 1;
  if (::setsockopt(lease.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::SetV6Only() {
  Lease lease(*this);
  const int on = 1;
  if (::setsockopt(lease.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::SetNoDelay(bool on) {
  Lease lease(*this);
  const int value = on ? 1 : 0;
  if (::setsockopt(lease.fd(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::SetKeepAlive(int idleSeconds, int intervalSeconds, int count) {
  Lease lease(*this);
  const int on = 1;
  if (::setsockopt(lease.fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      ::setsockopt(lease.fd(), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) != 0 ||
      ::setsockopt(lease.fd(), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                   sizeof intervalSeconds) != 0 ||
      ::setsockopt(lease.fd(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::SetSendTimeout(int timeoutMs) {
  Lease lease(*this);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::setsockopt(lease.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::Bind(const std::string& ip, int port) {
  Lease lease(*this);
  SockAddr addr;
  const socklen_t len = MakeAddress(version_, ip, port, addr);
  if (::bind(lease.fd(), &addr.any, len) != 0)
    RaiseSocketError(errno);
}

void TIdPosixSocket::Listen(int backlog) {
  Lease lease(*this);
  if (::listen(lease.fd(), backlog) != 0)
    RaiseSocketError(errno);
}

int TIdPosixSocket::LocalPort() const {
  Lease lease(*this);
  SockAddr addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(lease.fd(), &addr.any, &len) != 0)
    RaiseSocketError(errno);
  std::string ip;
  int port = 0;
  DescribeAddress(addr, ip, port);
  return port;
}

std::unique_ptr<TIdPosixSocket> TIdPosixSocket::Accept(int timeoutMs) {
  Lease lease(*this);
  const int rc = PollOne(lease.fd(), POLLIN, timeoutMs);
  if (rc <= 0 || !IsOpen())
    return nullptr;
  const int fd = ::accept4(lease.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // The client may have given up between poll and accept; the next pass tries again.
    if (errno == EAGAIN || errno == ECONNABORTED || errno == EINTR || errno == EINVAL)
      return nullptr;
    RaiseSocketError(errno);
  }
  return std::make_unique<TIdPosixSocket>(fd);
}

void TIdPosixSocket::Connect(const std::string& ip, int port, int timeoutMs, TIdSocket* watched) {
  Lease lease(*this);
  SockAddr addr;
  const socklen_t len = MakeAddress(version_, ip, port, addr);
  const int fd = lease.fd();
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (::connect(fd, &addr.any, len) != 0)
    err = errno;
  if (err == EINPROGRESS || err == EINTR) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The wait goes in slices so that a Close from another thread is seen even if the system
    // does not wake a connecting socket on shutdown.
    while (PollOne(fd, POLLOUT, kConnectSliceMs) == 0) {
      lease.ThrowIfClosed();
      if (timeoutMs > 0 && Clock::now() >= deadline)
        throw EIdConnectTimeout();
      if (watched != nullptr && watched->HungUp())
        throw EIdWatchedPeerGone();
    }
    lease.ThrowIfClosed();
    socklen_t errLen = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0)
      err = errno;
  }
  lease.ThrowIfClosed();
  ::fcntl(fd, F_SETFL, flags);
  if (err != 0)
    RaiseSocketError(err);
  TMutexLock guard(lock_);
  peerIP_ = ip;
  peerPort_ = port;
}

}  // namespace quillbox
