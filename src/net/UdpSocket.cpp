#include "net/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net/IdException.h"

namespace quillbox {

namespace {

// Runs a send or receive call again when a signal interrupted it; raises its other errors.
template <class Call>
ssize_t Retrying(Call&& call) {
  ssize_t n;
  do {
    n = call();
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    RaiseSocketError(errno);
  return n;
}

}  // namespace

TUdpSocket::TUdpSocket(const std::string& address, int port) {
  if (port < 0 || port > 65535)
    throw EIdSocketError(WinsockErrorFromErrno(EINVAL));
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    peerLength = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    peerLength = sizeof *v6;
  } else {
    throw EIdSocketError(kWsaHostNotFound);
  }
  fd_ = socket(peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    RaiseSocketError(errno);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&peer), peerLength) != 0) {
    const int err = errno;
    close(fd_);
    RaiseSocketError(err);
  }
}

TUdpSocket::~TUdpSocket() {
  close(fd_);
}

void TUdpSocket::Send(std::string_view datagram) {
  Retrying([&] { return send(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL); });
}

std::optional<std::string> TUdpSocket::Receive(size_t maxSize, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  pollfd pfd{fd_, POLLIN, 0};
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int rc = poll(&pfd, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (rc > 0)
      break;
    if (rc == 0)
      return std::nullopt;
    if (errno != EINTR)
      RaiseSocketError(errno);
  }
  std::string datagram(maxSize, '\0');
  const ssize_t n =
      Retrying([&] { return recv(fd_, datagram.data(), datagram.size(), MSG_TRUNC); });
  if (static_cast<size_t>(n) > maxSize)
    RaiseSocketError(EMSGSIZE);
  datagram.resize(static_cast<size_t>(n));
  return datagram;
}

}  // namespace quillbox
