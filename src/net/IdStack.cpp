#include "net/IdStack.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "base/SysUtils.h"
#include "net/IdException.h"

namespace quillbox {

namespace {

[[noreturn]] void RaiseLookupError(int gaiError) {
  throw EIdSocketError(WinsockErrorFromLookup(gaiError, errno));
}

}  // namespace

int WinsockErrorFromLookup(int gaiError, int err) {
  // A name service that did not answer must not read as a mistyped host name: the user would
  // look for the typo instead of waiting for the network.
  if (gaiError == EAI_AGAIN)
    return kWsaTryAgain;
  if (gaiError == EAI_SYSTEM && err != 0)
    return WinsockErrorFromErrno(err);
  return kWsaHostNotFound;
}

std::string TIdStackWindows::HostByName(const std::string& hostName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(hostName.c_str(), nullptr, &hints, &raw);
  if (rc != 0)
    RaiseLookupError(rc);
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(raw, &freeaddrinfo);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET)
      continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr)
      return text;
  }
  throw EIdSocketError(kWsaHostNotFound);
}

std::string TIdStackWindows::AddressToHostName(const std::string& address) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = inet_addr(address.c_str());
  char host[NI_MAXHOST] = {};
  const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host,
                             nullptr, 0, NI_NAMEREQD);
  if (rc != 0)
    RaiseLookupError(rc);
  return host;
}

TIdStack& GStack() {
  static TIdStackWindows stack;
  return stack;
}

bool IsDottedIPv4(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  while (true) {
    size_t digits = 0;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 3)
        return false;
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    if (digits == 0 || value > 255)
      return false;
    if (++parts == 4)
      return i == text.size();
    if (i >= text.size() || text[i] != '.')
      return false;
    ++i;
  }
}

std::string ResolveIPv4(TIdStack& stack, const std::string& host) {
  if (SameText(host, "LOCALHOST"))
    return "127.0.0.1";
  if (IsDottedIPv4(host))
    return host;
  return stack.HostByName(host);
}

}  // namespace quillbox
