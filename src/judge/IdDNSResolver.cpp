#include "judge/IdDNSResolver.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "base/SysUtils.h"
#include "judge/IdDNSResolverTcp.h"
#include "net/UdpSocket.h"

namespace quillbox {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxReplySize = 8192;
constexpr size_t kMaxLabelLength = 63;
constexpr size_t kMaxEncodedNameLength = 255;
constexpr size_t kFlagsHigh = 2, kFlagsLow = 3;
constexpr int kFormatError = 1;

void PutU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xff));
}

// The OPT pseudo-record of RFC 6891: root owner, type 41, the UDP payload size in the class
// field, extended code, version 0 and no flags in the TTL field, no options.
void PutOpt(std::string& out) {
  constexpr uint16_t kOpt = 41;
  out.push_back('\0');
  PutU16(out, kOpt);
  PutU16(out, TIdDNSResolver::kUdpPayloadSize);
  for (uint16_t zero : {0, 0, 0})
    PutU16(out, zero);
}

int ReplyCodeOf(std::string_view reply) {
  return static_cast<unsigned char>(reply[kFlagsLow]) & 0x0f;
}

bool Truncated(std::string_view reply) {
  constexpr unsigned char kTC = 0x02;
  return (static_cast<unsigned char>(reply[kFlagsHigh]) & kTC) != 0;
}

// Labels longer than 63 bytes, empty labels inside a name and names over 255 bytes cannot be
// put on the wire as RFC 1035 defines it; a server would misread them, so they are refused.
void PutName(std::string& out, const std::string& name) {
  std::string_view rest = name;
  if (!rest.empty() && rest.back() == '.')
    rest.remove_suffix(1);
  size_t encoded = 1;
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    const std::string_view label = rest.substr(0, dot);
    if (label.empty())
      throw EIdDnsResolverError("Invalid domain name (empty label): " + name);
    if (label.size() > kMaxLabelLength)
      throw EIdDnsResolverError("Invalid domain name (label over 63 bytes): " + name);
    encoded += 1 + label.size();
    if (encoded > kMaxEncodedNameLength)
      throw EIdDnsResolverError("Invalid domain name (over 255 bytes): " + name);
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
    rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    if (dot != std::string_view::npos && rest.empty())
      throw EIdDnsResolverError("Invalid domain name (empty label): " + name);
  }
  out.push_back('\0');
}

}  // namespace

TDNSHeader::TDNSHeader() : ID(RandomId()) {}

uint16_t TDNSHeader::RandomId() {
  uint16_t id = 0xffff;
  while (id == 0xffff) {
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id) && errno != EINTR)
      throw EIdDnsResolverError("No random source for the query identifier");
  }
  return id;
}

std::string TDNSHeader::Bytes() const {
  std::string out;
  out.reserve(12);
  for (uint16_t word : {ID, Flags, QDCount, ANCount, NSCount, ARCount})
    PutU16(out, word);
  return out;
}

TIdDNSResolver::TIdDNSResolver(TIdStack& stack) : stack_(stack) {}

void TIdDNSResolver::BuildQuery(const std::string& name, int qclass, bool edns) {
  if (QueryType.empty())
    throw EIdDnsResolverError("Invalid Query Count 0");
  if (QueryType.contains(qtIXFR) || QueryType.contains(qtAXFR))
    throw EIdDnsResolverError("Zone transfer queries (IXFR, AXFR) are not supported");
  if (qclass < 0 || qclass > 0xffff)
    throw EIdDnsResolverError("Invalid query class " + std::to_string(qclass));
  std::string question;
  PutName(question, name);
  header_ = TDNSHeader();
  header_.Flags = AllowRecursiveQueries ? 0x0100 : 0x0000;
  header_.QDCount = static_cast<uint16_t>(QueryType.size());
  header_.ARCount = edns ? 1 : 0;
  query_ = header_.Bytes();
  for (TQueryRecordTypes type : QueryType) {
    query_.append(question);
    PutU16(query_, QueryTypeCode(type));
    PutU16(query_, static_cast<uint16_t>(qclass));
  }
  questionEnd_ = query_.size();
  if (edns)
    PutOpt(query_);
}

std::string TIdDNSResolver::ServerAddress() const {
  if (Host.empty()) {
    std::string server = FirstNameserver(ResolvConfPath);
    if (server.empty())
      throw EIdDnsResolverError("No DNS server given and none in " + ResolvConfPath);
    return server;
  }
  if (IPVersion == TIdIPVersion::Id_IPv6)
    return SameText(Host, "LOCALHOST") ? "::1" : Host;
  // A server given as an IPv6 address is asked over IPv6 whatever IPVersion says.
  if (ParseIPv6(Host))
    return Host;
  return ResolveIPv4(stack_, Host);
}

// The reply repeats the question; a server may give back the query's names in other letter
// case. Length bytes of labels (below 64) and the type and class bytes sent (A, AAAA, IN) are no
// letters.
bool TIdDNSResolver::AnswersQuery(std::string_view reply) const {
  constexpr size_t kCountAt = 4, kQuestionAt = 12;
  const std::string_view query = query_;
  if (reply.size() < questionEnd_)
    return false;
  return reply.substr(0, 2) == query.substr(0, 2) &&
         reply.substr(kCountAt, 2) == query.substr(kCountAt, 2) &&
         SameText(reply.substr(kQuestionAt, questionEnd_ - kQuestionAt),
                  query.substr(kQuestionAt, questionEnd_ - kQuestionAt));
}

// A server that does not know a part of the query may say so without repeating the question
// (RFC 6891 7); all such a reply can do is have the query asked again without EDNS0.
bool TIdDNSResolver::BareFormatError(std::string_view reply) const {
  constexpr size_t kHeader = 12;
  return reply.size() >= kHeader && reply.substr(0, 2) == std::string_view(query_).substr(0, 2) &&
         ReplyCodeOf(reply) == kFormatError && reply.substr(4, 2) == std::string_view("\0\0", 2);
}

std::optional<std::string> TIdDNSResolver::ReceiveAnswer(const std::string& server,
                                                         TimePoint deadline) {
  TUdpSocket socket(server, Port);
  socket.Send(query_);
  const auto start = Clock::now();
  auto resend = Retransmissions.begin();
  for (;;) {
    auto until = deadline;
    if (resend != Retransmissions.end())
      until = std::min(until, start + std::chrono::milliseconds(*resend));
    if (Cancel != nullptr)
      until = std::min(until, Clock::now() + std::chrono::milliseconds(kCancelSliceMs));
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    std::optional<std::string> datagram =
        socket.Receive(kMaxReplySize, static_cast<int>(std::max<long long>(left, 0)));
    if (datagram && (AnswersQuery(*datagram) || BareFormatError(*datagram)))
      return datagram;
    // A flood of wrong datagrams must not hold the lookup past its time.
    const auto now = Clock::now();
    if (now >= deadline || (Cancel != nullptr && *Cancel))
      return std::nullopt;
    if (resend != Retransmissions.end() && now >= start + std::chrono::milliseconds(*resend)) {
      socket.Send(query_);
      ++resend;
    }
  }
}

// Over TCP nobody but the server can put bytes on the connection, so a reply that does not answer
// the query is the server's fault, and there is no other to wait for.
std::string TIdDNSResolver::AskOverTcp(const std::string& server, TimePoint deadline) const {
  std::string reply = ExchangeOverTcp(server, Port, query_, deadline, Cancel, kCancelSliceMs);
  if (!AnswersQuery(reply))
    throw EIdDnsResolverError("The reply over TCP does not answer the query");
  if (Truncated(reply))
    throw EIdDnsResolverError("The reply over TCP is truncated");
  return reply;
}

void TIdDNSResolver::QueryDomain(const std::string& name, int qclass) {
  result_.Clear();
  query_.clear();
  replyCode_.reset();
  BuildQuery(name, qclass, true);
  const std::string server = ServerAddress();
  const TimePoint deadline = Clock::now() + std::chrono::milliseconds(std::max(WaitingTime, 0));
  std::optional<std::string> reply = ReceiveAnswer(server, deadline);
  if (reply && ReplyCodeOf(*reply) == kFormatError) {
    BuildQuery(name, qclass, false);
    reply = ReceiveAnswer(server, deadline);
  }
  if (!reply)
    return;
  // What a truncated answer leaves out may be the very address looked for.
  if (Truncated(*reply))
    reply = AskOverTcp(server, deadline);
  replyCode_ = ReplyCodeOf(*reply);
  try {
    DecodeDnsReply(*reply, header_.ID, result_);
  } catch (...) {
    // A half-decoded reply must not pass for an answer.
    result_.Clear();
    throw;
  }
}

std::string FirstNameserver(const std::string& resolvConfPath) {
  std::ifstream file(resolvConfPath);
  std::string line;
  for (int lines = 0; lines < 1000 && std::getline(file, line); ++lines) {
    std::istringstream words(line);
    std::string keyword, address;
    if (words >> keyword >> address && keyword == "nameserver")
      return address;
  }
  return {};
}

}  // namespace quillbox
