#include "support/FakeDns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "net/IdException.h"
#include "support/Loopback.h"

namespace quillbox::test {

std::string WireName(const std::string& dotted) {
  std::string out;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos)
      dot = dotted.size();
    out.push_back(static_cast<char>(dot - start));
    out.append(dotted, start, dot - start);
    start = dot + 1;
  }
  out.push_back('\0');
  return out;
}

std::string U16(uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

std::string Pointer(uint16_t offset) {
  return U16(static_cast<uint16_t>(0xc000 | offset));
}

std::string Record(const std::string& owner, uint16_t type, const std::string& data, uint32_t ttl) {
  return owner + U16(type) + U16(1) + U16(static_cast<uint16_t>(ttl >> 16)) +
         U16(static_cast<uint16_t>(ttl)) + U16(static_cast<uint16_t>(data.size())) + data;
}

std::string ARecord(const std::string& owner, const std::string& dottedQuad, uint32_t ttl) {
  in_addr addr{};
  inet_pton(AF_INET, dottedQuad.c_str(), &addr);
  return Record(owner, 1, std::string(reinterpret_cast<const char*>(&addr), 4), ttl);
}

std::string AAAARecord(const std::string& owner, const std::string& ipv6, uint32_t ttl) {
  in6_addr addr{};
  inet_pton(AF_INET6, ipv6.c_str(), &addr);
  return Record(owner, 28, std::string(reinterpret_cast<const char*>(&addr), 16), ttl);
}

std::string OptRecord(uint16_t payload) {
  return std::string(1, '\0') + U16(41) + U16(payload) + U16(0) + U16(0) + U16(0);
}

std::optional<uint16_t> OptPayload(const std::string& query) {
  const size_t at = QuestionEnd(query);
  const std::string opt = OptRecord(0);
  if (query.size() < 12 || query.substr(10, 2) == U16(0) || query.size() < at + opt.size() ||
      query.compare(at, 3, opt, 0, 3) != 0)
    return std::nullopt;
  return static_cast<uint16_t>(static_cast<uint8_t>(query[at + 3]) << 8 |
                               static_cast<uint8_t>(query[at + 4]));
}

std::string ReplyTo(const std::string& query, Counts counts, const std::string& records,
                    uint16_t flags) {
  return query.substr(0, 2) + U16(flags) + U16(1) + U16(counts.answer) + U16(counts.authority) +
         U16(counts.additional) + query.substr(12, QuestionEnd(query) - 12) + records;
}

std::string Framed(const std::string& message) {
  return U16(static_cast<uint16_t>(message.size())) + message;
}

ScriptedDnsServer::ScriptedDnsServer(Script script, int family, StreamScript stream)
    : script_(std::move(script)), stream_(std::move(stream)) {
  // The TCP side shares the UDP port, as a DNS server's does; when another test holds that port
  // over TCP, both are given up for another.
  for (int attempt = 0; !tcp_; ++attempt) {
    fd_ = BoundLoopbackSocket(SOCK_DGRAM, port_, family);
    try {
      auto tcp = TIdPosixSocket::Create(family == AF_INET6 ? Id_IPv6 : Id_IPv4);
      tcp->Bind(family == AF_INET6 ? "::1" : "127.0.0.1", port_);
      tcp_ = std::move(tcp);
    } catch (const EIdSocketError&) {
      close(fd_);
      if (attempt == 100)
        throw;
    }
  }
  if (stream_)
    tcp_->Listen(8);
  int otherPort = 0;
  otherFd_ = BoundLoopbackSocket(SOCK_DGRAM, otherPort, family);
  thread_ = std::thread([this] { Run(); });
  if (stream_)
    streamThread_ = std::thread([this] { RunStreams(); });
}

ScriptedDnsServer::~ScriptedDnsServer() {
  stop_ = true;
  thread_.join();
  if (streamThread_.joinable())
    streamThread_.join();
  close(fd_);
  close(otherFd_);
}

std::vector<std::string> ScriptedDnsServer::Queries() const {
  TMutexLock lock(mutex_);
  return queries_;
}

std::vector<std::string> ScriptedDnsServer::StreamQueries() const {
  TMutexLock lock(mutex_);
  return streamQueries_;
}

void ScriptedDnsServer::RunStreams() {
  while (!stop_) {
    if (const auto connection = tcp_->Accept(20)) {
      try {
        Serve(*connection);
      } catch (const EIdException&) {
        // The client went away; the next one is served as if nothing happened.
      }
    }
  }
}

// Reads one framed query, then does what the stream script says; waits in short slices so that
// the destructor is never held up by a client that stays.
void ScriptedDnsServer::Serve(TIdPosixSocket& connection) {
  std::string framed;
  char buffer[2048];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  const auto whole = [&framed] {
    return framed.size() >= 2 && framed.size() >= 2u + (static_cast<uint8_t>(framed[0]) << 8 |
                                                        static_cast<uint8_t>(framed[1]));
  };
  while (!whole()) {
    if (stop_ || std::chrono::steady_clock::now() > deadline)
      return;
    if (!connection.WaitReadable(20))
      continue;
    const size_t n = connection.Receive(buffer, sizeof buffer);
    if (n == 0)
      return;
    framed.append(buffer, n);
  }
  const std::string query = framed.substr(2);
  {
    TMutexLock lock(mutex_);
    streamQueries_.push_back(query);
  }
  const Stream answer = stream_(query);
  for (size_t sent = 0; sent < answer.bytes.size();)
    sent += connection.Send(answer.bytes.data() + sent, answer.bytes.size() - sent);
  while (answer.hold && !stop_) {
    if (connection.WaitReadable(20) && connection.Receive(buffer, sizeof buffer) == 0)
      return;
  }
}

void ScriptedDnsServer::Run() {
  pollfd pfd{fd_, POLLIN, 0};
  while (!stop_) {
    if (poll(&pfd, 1, 20) <= 0)
      continue;
    char buffer[2048];
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0)
      continue;
    const std::string query(buffer, static_cast<size_t>(n));
    {
      TMutexLock lock(mutex_);
      queries_.push_back(query);
    }
    for (const Datagram& d : script_(query)) {
      sendto(d.fromOtherPort ? otherFd_ : fd_, d.bytes.data(), d.bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&from), fromLength);
    }
  }
}

namespace {

// What fits in a datagram to the client: what its OPT record offers, and never less than 512.
size_t UdpLimit(const std::string& query) {
  return std::max<size_t>(512, OptPayload(query).value_or(512));
}

const std::string& Known(const std::map<std::string, std::string>& map, const std::string& key) {
  const auto it = map.find(key);
  if (it == map.end())
    throw EIdSocketError(kWsaHostNotFound);
  return it->second;
}

}  // namespace

std::string QuestionName(const std::string& query) {
  std::string name;
  for (size_t at = 12; at < query.size() && query[at] != 0;) {
    const size_t length = static_cast<unsigned char>(query[at]);
    name += (name.empty() ? "" : ".") + query.substr(at + 1, length);
    at += length + 1;
  }
  return name;
}

namespace {

// The offset of the zero byte that ends the question's name, or the query's size.
size_t NameEnd(const std::string& query) {
  size_t end = 12;
  while (end < query.size() && query[end] != 0)
    end += 1 + static_cast<uint8_t>(query[end]);
  return std::min(end, query.size());
}

}  // namespace

size_t QuestionEnd(const std::string& query) {
  return std::min(NameEnd(query) + 5, query.size());
}

uint16_t QuestionType(const std::string& query) {
  const size_t end = NameEnd(query);
  if (end + 3 > query.size())
    return 0;
  return static_cast<uint16_t>(static_cast<uint8_t>(query[end + 1]) << 8 |
                               static_cast<uint8_t>(query[end + 2]));
}

FakeDnsServer::FakeDnsServer(int family)
    : server_(
          [this](const std::string& query) {
            std::string reply = Answer(query, UdpLimit(query));
            return reply.empty() ? std::vector<Datagram>{} : std::vector<Datagram>{{reply}};
          },
          family,
          [this](const std::string& query) { return Stream{Framed(Answer(query, 0xffff))}; }) {}

void FakeDnsServer::SetAddresses(std::map<std::string, std::vector<std::string>> addresses) {
  TMutexLock hold(lock_);
  addresses_ = std::move(addresses);
}

std::string FakeDnsServer::Answer(const std::string& query, size_t limit) {
  if (query.size() < 17)
    return {};
  TMutexLock hold(lock_);
  const std::optional<uint16_t> edns = OptPayload(query);
  const std::string opt = edns ? OptRecord() : "";
  const uint16_t additional = edns ? 1 : 0;
  const auto found = addresses_.find(QuestionName(query));
  if (found == addresses_.end())
    return ReplyTo(query, {0, 0, additional}, opt, 0x8183);
  const uint16_t type = QuestionType(query);
  std::string records;
  uint16_t count = 0;
  for (const std::string& address : found->second) {
    const bool ipv6 = address.find(':') != std::string::npos;
    if (type != (ipv6 ? 28 : 1))
      continue;
    const std::string record =
        ipv6 ? AAAARecord(Pointer(12), address) : ARecord(Pointer(12), address);
    // What does not fit is left out, and TC says so; the OPT record goes in a whole answer only.
    if (ReplyTo(query, {}, records + record).size() > limit)
      return ReplyTo(query, {count}, records, 0x8380);
    records += record;
    ++count;
  }
  if (ReplyTo(query, {}, records + opt).size() > limit)
    return ReplyTo(query, {count}, records, 0x8380);
  return ReplyTo(query, {count, 0, additional}, records + opt);
}

std::string FakeNameService::HostByName(const std::string& hostName) {
  {
    TMutexLock hold(lock_);
    asked_.push_back(hostName);
  }
  return Known(addressOf, hostName);
}

std::string FakeNameService::AddressToHostName(const std::string& address) {
  {
    TMutexLock hold(lock_);
    reversed_.push_back(address);
  }
  std::this_thread::sleep_for(reverseDelay);
  return Known(nameOf, address);
}

std::vector<std::string> FakeNameService::Reversed() const {
  TMutexLock hold(lock_);
  return reversed_;
}

std::vector<std::string> FakeNameService::Asked() const {
  TMutexLock hold(lock_);
  return asked_;
}

}  // namespace quillbox::test
