#include "support/FakeDns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

std::string ReplyTo(const std::string& query, Counts counts, const std::string& records,
                    uint16_t flags) {
  return query.substr(0, 2) + U16(flags) + U16(1) + U16(counts.answer) + U16(counts.authority) +
         U16(counts.additional) + query.substr(12) + records;
}

ScriptedDnsServer::ScriptedDnsServer(Script script, int family) : script_(std::move(script)) {
  fd_ = BoundLoopbackSocket(SOCK_DGRAM, port_, family);
  int otherPort = 0;
  otherFd_ = BoundLoopbackSocket(SOCK_DGRAM, otherPort, family);
  thread_ = std::thread([this] { Run(); });
}

ScriptedDnsServer::~ScriptedDnsServer() {
  stop_ = true;
  thread_.join();
  close(fd_);
  close(otherFd_);
}

std::vector<std::string> ScriptedDnsServer::Queries() const {
  std::lock_guard lock(mutex_);
  return queries_;
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
      std::lock_guard lock(mutex_);
      queries_.push_back(query);
    }
    for (const Datagram& d : script_(query)) {
      sendto(d.fromOtherPort ? otherFd_ : fd_, d.bytes.data(), d.bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&from), fromLength);
    }
  }
}

namespace {

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

uint16_t QuestionType(const std::string& query) {
  size_t end = 12;
  while (end < query.size() && query[end] != 0)
    end += 1 + static_cast<uint8_t>(query[end]);
  if (end + 3 > query.size())
    return 0;
  return static_cast<uint16_t>(static_cast<uint8_t>(query[end + 1]) << 8 |
                               static_cast<uint8_t>(query[end + 2]));
}

FakeDnsServer::FakeDnsServer(int family)
    : server_([this](const std::string& query) { return Answer(query); }, family) {}

void FakeDnsServer::SetAddresses(std::map<std::string, std::vector<std::string>> addresses) {
  std::lock_guard<std::mutex> hold(lock_);
  addresses_ = std::move(addresses);
}

std::vector<Datagram> FakeDnsServer::Answer(const std::string& query) {
  if (query.size() < 17)
    return {};
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = addresses_.find(QuestionName(query));
  if (found == addresses_.end())
    return {{ReplyTo(query, {}, "", 0x8183)}};
  const uint16_t type = QuestionType(query);
  std::string records;
  uint16_t count = 0;
  for (const std::string& address : found->second) {
    const bool ipv6 = address.find(':') != std::string::npos;
    if (type == (ipv6 ? 28 : 1)) {
      records += ipv6 ? AAAARecord(Pointer(12), address) : ARecord(Pointer(12), address);
      ++count;
    }
  }
  return {{ReplyTo(query, {count}, records)}};
}

std::string FakeNameService::HostByName(const std::string& hostName) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    asked_.push_back(hostName);
  }
  return Known(addressOf, hostName);
}

std::string FakeNameService::AddressToHostName(const std::string& address) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    reversed_.push_back(address);
  }
  std::this_thread::sleep_for(reverseDelay);
  return Known(nameOf, address);
}

std::vector<std::string> FakeNameService::Reversed() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reversed_;
}

std::vector<std::string> FakeNameService::Asked() const {
  std::lock_guard<std::mutex> hold(lock_);
  return asked_;
}

}  // namespace quillbox::test
