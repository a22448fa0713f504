#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

namespace quillbox {

// A DNS message on a TCP stream (RFC 7766): its length in two bytes, then the message.
std::string FramedForTcp(std::string_view message);

// The reply of a TCP exchange as its bytes come in: the two-byte length, then that many bytes.
// The length field bounds it at 65535 bytes, however much the peer sends. Not thread-safe.
class TDnsTcpReply {
 public:
  // Takes received bytes up to the end of the message; what follows it is not taken, since
  // nothing more was asked for.
  void Add(std::string_view bytes);
  bool Whole() const;
  // The message without its length field; whole once Whole() says so.
  std::string_view Message() const;

 private:
  size_t DeclaredLength() const;  // once the length field is in

  std::string framed_;
};

// Connects to address (numeric IPv4 or IPv6 text) and port, sends query framed, and returns the
// reply message, all before deadline. Connecting, sending and every read are bounded by it, and a
// set cancel flag ends the exchange within cancelSliceMs. Raises EIdDnsResolverError naming the
// server and what failed (refused, no answer in time, closed early, cancelled).
std::string ExchangeOverTcp(const std::string& address, int port, std::string_view query,
                            std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* cancel, int cancelSliceMs);

}  // namespace quillbox
