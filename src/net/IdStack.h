#pragma once

#include <string>

namespace quillbox {

// The platform's name service, behind an interface so that tests can answer every lookup
// themselves instead of asking the machine's resolver. Implementations are thread-safe.
class TIdStack {
 public:
  virtual ~TIdStack() = default;

  // First IPv4 address of a host name, as dotted-quad text. Raises EIdSocketError (11001 for a
  // name the name service does not know, 11002 when it did not answer).
  virtual std::string HostByName(const std::string& hostName) = 0;

  // Host name of an IPv4 address text, as the name service gives it (letter case unchanged).
  // The text is converted with inet_addr and used unchecked, so an invalid text is looked up as
  // 255.255.255.255. Raises EIdSocketError when there is no name.
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

// True for exactly four dot-separated decimal parts, each 0 to 255, and nothing else.
bool IsDottedIPv4(const std::string& text);

// The IPv4 address to connect to for a host text: "LOCALHOST" in any letter case is 127.0.0.1,
// a dotted quad is used as it is, anything else goes to the name service.
std::string ResolveIPv4(TIdStack& stack, const std::string& host);

}  // namespace quillbox
