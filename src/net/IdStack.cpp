#include "net/IdStack.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
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
  sockaddr_storage peer{};
  socklen_t length = sizeof(sockaddr_in);
  if (address.find(':') != std::string::npos) {
    const auto bytes = ParseIPv6(address);
    if (!bytes)
      throw EIdSocketError(kWsaHostNotFound);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&peer);
    sin6->sin6_family = AF_INET6;
    std::copy(bytes->begin(), bytes->end(), sin6->sin6_addr.s6_addr);
    length = sizeof *sin6;
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&peer);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = IPv4ForLookup(address);
  }
  char host[NI_MAXHOST] = {};
  const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host,
                             nullptr, 0, NI_NAMEREQD);
  if (rc != 0)
    RaiseLookupError(rc);
  return host;
}

TIdStack& GStack() {
  static TIdStackWindows stack;
  return stack;
}

std::optional<uint32_t> ParseDottedIPv4(std::string_view text) {
  uint32_t address = 0;
  size_t i = 0;
  for (int parts = 1;; ++parts) {
    size_t digits = 0;
    uint32_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 3)
        return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
    }
    if (digits == 0 || value > 255)
      return std::nullopt;
    address = address << 8 | value;
    if (parts == 4)
      return i == text.size() ? std::optional(address) : std::nullopt;
    if (i >= text.size() || text[i] != '.')
      return std::nullopt;
    ++i;
  }
}

bool IsDottedIPv4(const std::string& text) {
  return ParseDottedIPv4(text).has_value();
}

uint32_t IPv4ForLookup(const std::string& text) {
  const auto address = ParseDottedIPv4(text);
  return address ? htonl(*address) : inet_addr(text.c_str());
}

std::optional<std::string> CanonicalDottedIPv4(const std::string& text) {
  if (!IsDottedIPv4(text))
    return std::nullopt;
  in_addr address{IPv4ForLookup(text)};
  char canonical[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, canonical, sizeof canonical);
  return canonical;
}

std::optional<TIPv6Bytes> ParseIPv6(std::string_view text) {
  // inet_pton needs a terminated string; no address text is longer than
  // "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255".
  char terminated[INET6_ADDRSTRLEN];
  if (text.size() >= sizeof terminated)
    return std::nullopt;
  text.copy(terminated, text.size());
  terminated[text.size()] = '\0';
  TIPv6Bytes bytes;
  if (inet_pton(AF_INET6, terminated, bytes.data()) != 1)
    return std::nullopt;
  return bytes;
}

std::string IPv6Text(const TIPv6Bytes& address) {
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i)
    groups[i] = static_cast<uint16_t>(address[2 * i] << 8 | address[2 * i + 1]);
  int zerosAt = -1, zeros = 1;  // a single zero group stays "0"
  for (int i = 0; i < 8;) {
    int run = 0;
    while (i + run < 8 && groups[i + run] == 0)
      ++run;
    if (run > zeros) {
      zerosAt = i;
      zeros = run;
    }
    i += run + 1;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(39);
  for (int i = 0; i < 8; ++i) {
    if (i == zerosAt) {
      text += "::";
      i += zeros - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':')
      text += ':';
    bool digits = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int digit = groups[i] >> shift & 0xf;
      if (digits || digit != 0 || shift == 0) {
        text += kHex[digit];
        digits = true;
      }
    }
  }
  return text;
}

std::string ResolveIPv4(TIdStack& stack, const std::string& host) {
  if (SameText(host, "LOCALHOST"))
    return "127.0.0.1";
  if (IsDottedIPv4(host))
    return host;
  return stack.HostByName(host);
}

}  // namespace quillbox
