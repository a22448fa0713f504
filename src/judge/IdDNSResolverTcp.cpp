#include "judge/IdDNSResolverTcp.h"

#include <algorithm>

#include "judge/IdDNSRecords.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

namespace quillbox {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLengthField = 2;

// A connect looks at a watched socket between its waits and gives up once that one has hung up;
// this one has once the lookup is cancelled, so that a server that never completes the handshake
// cannot hold a cancelled lookup. Only HungUp is ever asked.
class TCancelWatch final : public TIdSocket {
 public:
  explicit TCancelWatch(const std::atomic<bool>* cancel) : cancel_(cancel) {}
  bool HungUp() override { return cancel_ != nullptr && cancel_->load(); }
  bool WaitReadable(int) override { return false; }
  size_t Receive(char*, size_t) override { throw EIdClosedSocket(); }
  size_t Send(const char*, size_t) override { throw EIdClosedSocket(); }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::string PeerIP() const override { return {}; }
  int PeerPort() const override { return 0; }

 private:
  const std::atomic<bool>* cancel_;
};

// Milliseconds until the deadline, at least 1; raises once it has passed or the lookup has been
// cancelled.
int MillisecondsLeft(Clock::time_point deadline, const std::atomic<bool>* cancel) {
  if (cancel != nullptr && *cancel)
    throw EIdDnsResolverError("the lookup was cancelled");
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0)
    throw EIdDnsResolverError("no reply in time");
  return static_cast<int>(left);  // the wait began as an int of milliseconds
}

std::string ReadReply(TIdPosixSocket& socket, Clock::time_point deadline,
                      const std::atomic<bool>* cancel, int cancelSliceMs) {
  TDnsTcpReply reply;
  char buffer[4096];
  while (!reply.Whole()) {
    int wait = MillisecondsLeft(deadline, cancel);
    if (cancel != nullptr)
      wait = std::min(wait, cancelSliceMs);
    if (!socket.WaitReadable(wait))
      continue;
    const size_t n = socket.Receive(buffer, sizeof buffer);
    if (n == 0)
      throw EIdDnsResolverError("the server closed the connection before the whole reply");
    reply.Add(std::string_view(buffer, n));
  }
  return std::string(reply.Message());
}

}  // namespace

std::string FramedForTcp(std::string_view message) {
  if (message.size() > 0xffff)
    throw EIdDnsResolverError("A DNS message over TCP is at most 65535 bytes");
  std::string framed;
  framed.reserve(kLengthField + message.size());
  framed.push_back(static_cast<char>(message.size() >> 8));
  framed.push_back(static_cast<char>(message.size() & 0xff));
  framed.append(message);
  return framed;
}

void TDnsTcpReply::Add(std::string_view bytes) {
  const size_t forLength =
      std::min(bytes.size(), kLengthField - std::min(framed_.size(), kLengthField));
  framed_.append(bytes.substr(0, forLength));
  bytes.remove_prefix(forLength);
  if (framed_.size() >= kLengthField)
    framed_.append(bytes.substr(0, kLengthField + DeclaredLength() - framed_.size()));
}

bool TDnsTcpReply::Whole() const {
  return framed_.size() >= kLengthField && framed_.size() == kLengthField + DeclaredLength();
}

size_t TDnsTcpReply::DeclaredLength() const {
  return static_cast<size_t>(static_cast<uint8_t>(framed_[0]) << 8 |
                             static_cast<uint8_t>(framed_[1]));
}

std::string_view TDnsTcpReply::Message() const {
  return std::string_view(framed_).substr(std::min(framed_.size(), kLengthField));
}

std::string ExchangeOverTcp(const std::string& address, int port, std::string_view query,
                            Clock::time_point deadline, const std::atomic<bool>* cancel,
                            int cancelSliceMs) {
  const std::string framed = FramedForTcp(query);
  try {
    auto socket = TIdPosixSocket::Create(ParseIPv6(address) ? Id_IPv6 : Id_IPv4);
    TCancelWatch watch(cancel);
    try {
      socket->Connect(address, port, MillisecondsLeft(deadline, cancel), &watch);
    } catch (const EIdWatchedPeerGone&) {
      throw EIdDnsResolverError("the lookup was cancelled");
    }
    socket->SetSendTimeout(MillisecondsLeft(deadline, cancel));
    for (size_t sent = 0; sent < framed.size();)
      sent += socket->Send(framed.data() + sent, framed.size() - sent);
    return ReadReply(*socket, deadline, cancel, cancelSliceMs);
  } catch (const EIdException& e) {
    throw EIdDnsResolverError("No reply over TCP from " + address + " port " +
                              std::to_string(port) + ": " + e.Message());
  }
}

}  // namespace quillbox
