#include "shell/SocketActivation.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace quillbox {

namespace {

// More than a plain and a TLS port on both IP versions is a misconfigured unit.
constexpr long kMostSockets = 16;

bool Decimal(const char* text, long& value) {
  const char* end = text + std::strlen(text);
  const auto [rest, error] = std::from_chars(text, end, value);
  return *text != '\0' && error == std::errc() && rest == end;
}

std::string NameAt(const char* names, long index) {
  std::string all = names ? names : "";
  for (long i = 0; i < index; ++i) {
    const size_t colon = all.find(':');
    if (colon == std::string::npos)
      return "";
    all.erase(0, colon + 1);
  }
  return all.substr(0, all.find(':'));
}

int SocketOption(int fd, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

TIdSocketHandle Served(int fd, const std::string& name) {
  struct stat info {};
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
      SocketOption(fd, SO_TYPE) != SOCK_STREAM || SocketOption(fd, SO_ACCEPTCONN) != 1 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
    throw EHandedSockets("The socket handed over as descriptor " + std::to_string(fd) +
                         " is not a listening TCP socket.");
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  TIdSocketHandle binding;
  binding.IPVersion = address.ss_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
  binding.Port = ntohs(address.ss_family == AF_INET6
                           ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                           : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  binding.ImplicitTLS = name == "pop3s";
  binding.Descriptor = fd;
  return binding;
}

}  // namespace

std::vector<TIdSocketHandle> ListeningSocketsFrom(const char* pid, const char* count,
                                                  const char* names, long self, int firstFd) {
  long owner = 0;
  if (pid == nullptr || count == nullptr || !Decimal(pid, owner) || owner != self)
    return {};
  long sockets = 0;
  if (!Decimal(count, sockets) || sockets < 0 || sockets > kMostSockets) {
    throw EHandedSockets("LISTEN_FDS=" + std::string(count) +
                         " is not a number of handed-over sockets from 0 to " +
                         std::to_string(kMostSockets) + ".");
  }
  std::vector<TIdSocketHandle> bindings;
  for (long i = 0; i < sockets; ++i)
    bindings.push_back(Served(firstFd + static_cast<int>(i), NameAt(names, i)));
  return bindings;
}

std::vector<TIdSocketHandle> HandedListeningSockets() {
  return ListeningSocketsFrom(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"),
                              std::getenv("LISTEN_FDNAMES"), ::getpid(), 3);
}

}  // namespace quillbox
