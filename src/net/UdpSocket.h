#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// A UDP socket connected to one peer, so that the kernel delivers only that peer's datagrams:
// a reply forged from any other address or port never reaches the reader. Owns its descriptor.
// Not thread-safe.
class TUdpSocket {
 public:
  // address: numeric IPv4 or IPv6 text. Raises EIdSocketError.
  TUdpSocket(const std::string& address, int port);
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  void Send(std::string_view datagram);

  // One datagram (an empty one too), or nothing when none came within timeoutMs. A datagram
  // longer than maxSize and a receive error (such as the peer's port being unreachable) raise
  // EIdSocketError.
  std::optional<std::string> Receive(size_t maxSize, int timeoutMs);

 private:
  int fd_ = -1;
};

}  // namespace quillbox
