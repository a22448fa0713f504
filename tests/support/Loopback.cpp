#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace quillbox::test {
namespace {

using Clock = std::chrono::steady_clock;

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

LoopbackListener::LoopbackListener(const std::string& ip, TIdIPVersion version)
    : socket_(TIdPosixSocket::Create(version)) {
  socket_->Bind(ip, 0);
  socket_->Listen(15);
  port_ = socket_->LocalPort();
}

std::unique_ptr<TIdIOHandlerStack> LoopbackListener::Accept() {
  auto client = socket_->Accept(kWaitMs);
  if (!client)
    return nullptr;
  auto io = std::make_unique<TIdIOHandlerStack>();
  io->Open(std::move(client));
  io->ReadTimeout = kWaitMs;
  return io;
}

int BoundLoopbackSocket(int type, int& port, int family) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  address.ss_family = static_cast<sa_family_t>(family);
  if (family == AF_INET6)
    v6->sin6_addr = in6addr_loopback;
  else
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = family == AF_INET6 ? sizeof *v6 : sizeof *v4;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (fd >= 0)
      ::close(fd);
    throw std::runtime_error("cannot bind a loopback socket");
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(family == AF_INET6 ? v6->sin6_port : v4->sin_port);
  return fd;
}

std::vector<TIdSocketHandle> LoopbackBindings(bool tls) {
  std::vector<TIdSocketHandle> bindings = {{"127.0.0.1", 0, Id_IPv4, false}};
  if (tls)
    bindings.push_back({"127.0.0.1", 0, Id_IPv4, true});
  return bindings;
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

LoopbackServer::LoopbackServer(std::function<void(int fd)> serve) : serve_(std::move(serve)) {
  listenFd_ = BoundLoopbackSocket(SOCK_STREAM, port_);
  ::listen(listenFd_, 64);
  acceptor_ = std::thread([this] {
    while (!stop_) {
      if (!WaitReadable(listenFd_, 50))
        continue;
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0)
        continue;
      TMutexLock hold(lock_);
      fds_.push_back(fd);
      threads_.emplace_back([this, fd] { serve_(fd); });
    }
  });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  acceptor_.join();
  for (int fd : fds_)
    ::shutdown(fd, SHUT_RDWR);
  for (std::thread& thread : threads_)
    thread.join();
  for (int fd : fds_)
    ::close(fd);
  ::close(listenFd_);
}

bool LineSocket::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      line = buffer_.substr(0, end > 0 && buffer_[end - 1] == '\r' ? end - 1 : end);
      buffer_.erase(0, end + 1);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    char chunk[65536];
    if (left <= 0 || !WaitReadable(fd_, static_cast<int>(left))) {
      line = "<timeout>";
      return false;
    }
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
      line = "<closed>";
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

bool LineSocket::Waiting() {
  return !buffer_.empty() || WaitReadable(fd_, 0);
}

bool LineSocket::Write(std::string_view bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace quillbox::test
