#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// The platform's name service, behind an interface so that tests can answer every lookup
// themselves instead of asking the machine's resolver. Implementations are thread-safe.
class TIdStack {
 public:
  virtual ~TIdStack() = default;

  // First IPv4 address of a host name, as dotted-quad text. Raises EIdSocketError (11001 for a
  // name the name service does not know, 11002 when it did not answer).
  virtual std::string HostByName(const std::string& hostName) = 0;

  // Host name of an address text, as the name service gives it (letter case unchanged). A text
  // with a colon is an IPv6 address (looked up in ip6.arpa) and must be one that ParseIPv6
  // accepts. Any other text is IPv4, converted with IPv4ForLookup. Raises EIdSocketError when there
  // is no name.
  virtual std::string AddressToHostName(const std::string& address) = 0;
};

// The real name service: getaddrinfo and getnameinfo (both thread-safe).
class TIdStackWindows : public TIdStack {
 public:
  std::string HostByName(const std::string& hostName) override;
  std::string AddressToHostName(const std::string& address) override;
};

// The Winsock number for a failed getaddrinfo or getnameinfo (gaiError its result, err the errno
// it left): 11002 for a temporary failure (EAI_AGAIN), the errno's number for a system error,
// 11001 ("Host not found.") for anything else.
int WinsockErrorFromLookup(int gaiError, int err);

// The process's shared real name service.
TIdStack& GStack();

// The address (host byte order) of exactly four dot-separated decimal parts of 1 to 3 digits,
// each 0 to 255 and read in decimal also with leading zeros; none for any other text.
std::optional<uint32_t> ParseDottedIPv4(std::string_view text);

// True for exactly four dot-separated decimal parts, each 0 to 255, and nothing else.
bool IsDottedIPv4(const std::string& text);

// The IPv4 address (network byte order) that a reverse lookup asks for. A dotted quad is read
// in decimal, also with leading zeros: inet_addr would read "192.0.2.010" as octal and name the
// host 192.0.2.8 instead. Any other text goes through inet_addr unchecked, so an invalid text
// is 255.255.255.255.
uint32_t IPv4ForLookup(const std::string& text);

// The canonical text of a dotted quad that IsDottedIPv4 accepts: each part in decimal without
// leading zeros, so "198.051.100.002" is 198.51.100.2, never read as octal. Two texts of one
// address give the same canonical text. Nothing for any other text.
std::optional<std::string> CanonicalDottedIPv4(const std::string& text);

using TIPv6Bytes = std::array<uint8_t, 16>;

// The 16 bytes of a numeric IPv6 address text as inet_pton reads it: hexadecimal groups, "::"
// and an embedded dotted quad, no brackets, no zone id ("%eth0"). Nothing for any other text.
std::optional<TIPv6Bytes> ParseIPv6(std::string_view text);

// The canonical text of an IPv6 address (RFC 5952): lower-case hexadecimal groups without
// leading zeros, the longest run of two or more zero groups (the first of equally long ones) as
// "::", and no dotted quad. Two texts of one address give the same canonical text, so it is
// the address's key for comparisons and caches.
std::string IPv6Text(const TIPv6Bytes& address);

// The IPv4 address to connect to for a host text: "LOCALHOST" in any letter case is 127.0.0.1,
// a dotted quad is used as it is, anything else goes to the name service.
std::string ResolveIPv4(TIdStack& stack, const std::string& host);

}  // namespace quillbox
