#include "proxy/ProxyTestPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "pop3/IdException.h"

namespace quillbox::test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to 127.0.0.1 on a port the system picks; returns the descriptor and the port.
int BoundSocket(int type, int& port) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in address = Loopback(0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

std::string Stuffed(const std::string& line) {
  return line.starts_with(".") ? "." + line : line;
}

std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\r\n";
  }
  return text;
}

}  // namespace

void CapturingLog::AddToMemo(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock_);
  lines_.push_back(line);
  changed_.notify_all();
}

std::vector<std::string> CapturingLog::Lines() {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

bool CapturingLog::WaitFor(const std::string& line, int timeoutMs) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& have : lines_) {
      if (have == line) {
        return true;
      }
    }
    return false;
  });
}

std::vector<std::string> CapturingLog::Since(const std::string& from) {
  std::vector<std::string> lines = Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == from) {
      return std::vector<std::string>(lines.begin() + static_cast<ptrdiff_t>(i), lines.end());
    }
  }
  return lines;
}

std::string FakeNameService::HostByName(const std::string&) {
  throw EIdSocketError(11001);
}

std::string FakeNameService::AddressToHostName(const std::string& address) {
  const auto name = names.find(address);
  if (name == names.end()) {
    throw EIdSocketError(11004);
  }
  return name->second;
}

LoopbackServer::LoopbackServer(std::function<void(int fd)> serve) : serve_(std::move(serve)) {
  listenFd_ = BoundSocket(SOCK_STREAM, port_);
  ::listen(listenFd_, 64);
  acceptor_ = std::thread([this] {
    while (!stop_) {
      if (!WaitReadable(listenFd_, 50)) {
        continue;
      }
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) {
        continue;
      }
      std::lock_guard<std::mutex> hold(lock_);
      fds_.push_back(fd);
      threads_.emplace_back([this, fd] { serve_(fd); });
    }
  });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  acceptor_.join();
  for (int fd : fds_) {
    ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& thread : threads_) {
    thread.join();
  }
  for (int fd : fds_) {
    ::close(fd);
  }
  ::close(listenFd_);
}

bool LineSocket::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      line = buffer_.substr(0, end > 0 && buffer_[end - 1] == '\r' ? end - 1 : end);
      buffer_.erase(0, end + 1);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    char chunk[65536];
    if (left <= 0 || !WaitReadable(fd_, static_cast<int>(left))) {
      line = "<timeout>";
      return false;
    }
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
      line = "<closed>";
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

void LineSocket::Write(const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

ScriptedUpstream::ScriptedUpstream() : server_([this](int fd) { Serve(fd); }) {}

std::vector<std::string> ScriptedUpstream::Commands() {
  std::lock_guard<std::mutex> hold(lock_);
  return commands_;
}

void ScriptedUpstream::Serve(int fd) {
  LineSocket socket(fd);
  socket.Write(greeting + "\r\n");
  std::string command;
  while (socket.ReadLine(command, 60000)) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      commands_.push_back(command);
    }
    std::string answer = script ? script(command) : std::string();
    if (answer.empty()) {
      answer = Answer(command);
    }
    if (answer.ends_with(kClose)) {
      socket.Write(answer.substr(0, answer.size() - std::string_view(kClose).size()));
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
    if (answer == kStall) {
      continue;
    }
    socket.Write(answer);
    if (command == "QUIT") {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

// A small mailbox: enough of RFC 1939 for the proxy's relays.
std::string ScriptedUpstream::Answer(const std::string& command) {
  std::istringstream words(command);
  std::string verb, first, second;
  words >> verb >> first >> second;
  const int n = std::atoi(first.c_str());
  const bool known = n >= 1 && n <= static_cast<int>(messages.size());
  auto size = [&](int i) {
    size_t octets = 0;
    for (const std::string& line : messages[static_cast<size_t>(i) - 1]) {
      octets += line.size() + 2;
    }
    return std::to_string(octets);
  };
  std::vector<std::string> lines;
  if (verb == "USER")
    return first == user ? "+OK\r\n" : "-ERR no such user\r\n";
  if (verb == "PASS")
    return first == password ? "+OK Logged in.\r\n" : "-ERR Login failed.\r\n";
  if (verb == "CAPA")
    return Crlf({"+OK"}) + Crlf(capabilities) + ".\r\n";
  if (verb == "QUIT")
    return "+OK Logging out.\r\n";
  if (verb == "RSET" || verb == "NOOP")
    return "+OK\r\n";
  if (!first.empty() && !known)
    return "-ERR There's no message " + first + ".\r\n";
  if (verb == "DELE")
    return "+OK Marked to be deleted.\r\n";
  if (verb == "STAT") {
    size_t octets = 0;
    for (size_t i = 1; i <= messages.size(); ++i)
      octets += std::stoul(size(static_cast<int>(i)));
    return "+OK " + std::to_string(messages.size()) + " " + std::to_string(octets) + "\r\n";
  }
  if ((verb == "LIST" || verb == "UIDL") && known) {
    return "+OK " + first + " " + (verb == "LIST" ? size(n) : "uid" + first) + "\r\n";
  }
  if (verb == "LIST" || verb == "UIDL") {
    for (int i = 1; i <= static_cast<int>(messages.size()); ++i) {
      lines.push_back(std::to_string(i) + " " +
                      (verb == "LIST" ? size(i) : "uid" + std::to_string(i)));
    }
    return "+OK " + std::to_string(lines.size()) + " messages:\r\n" + Crlf(lines) + ".\r\n";
  }
  if ((verb == "RETR" || verb == "TOP") && known) {
    bool inBody = false;
    int bodyLines = 0;
    for (const std::string& line : messages[static_cast<size_t>(n) - 1]) {
      if (verb == "TOP" && inBody && bodyLines++ >= std::atoi(second.c_str()))
        break;
      inBody = inBody || line.empty();
      lines.push_back(Stuffed(line));
    }
    return "+OK " + size(n) + " octets\r\n" + Crlf(lines) + ".\r\n";
  }
  return "-ERR Unknown command.\r\n";
}

FakeDnsServer::FakeDnsServer() {
  fd_ = BoundSocket(SOCK_DGRAM, port_);
  thread_ = std::thread([this] { Run(); });
}

FakeDnsServer::~FakeDnsServer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

void FakeDnsServer::SetAddresses(std::map<std::string, std::vector<std::string>> addresses) {
  std::lock_guard<std::mutex> hold(lock_);
  addresses_ = std::move(addresses);
}

void FakeDnsServer::Run() {
  while (!stop_) {
    unsigned char query[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    if (!WaitReadable(fd_, 50)) {
      continue;
    }
    const ssize_t got =
        ::recvfrom(fd_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 17) {
      continue;
    }
    std::string name;
    size_t at = 12;
    while (at < static_cast<size_t>(got) && query[at] != 0) {
      name += (name.empty() ? "" : ".") +
              std::string(reinterpret_cast<char*>(query) + at + 1, query[at]);
      at += query[at] + 1u;
    }
    const size_t questionEnd = at + 5;
    std::optional<std::vector<std::string>> answers;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (const auto found = addresses_.find(name); found != addresses_.end()) {
        answers = found->second;
      }
    }
    std::string reply(reinterpret_cast<char*>(query), questionEnd);
    reply[2] = static_cast<char>(0x81);
    reply[3] = static_cast<char>(answers ? 0x80 : 0x83);
    reply[7] = static_cast<char>(answers ? answers->size() : 0);
    reply[6] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
    for (const std::string& address : answers.value_or(std::vector<std::string>{})) {
      in_addr bytes{};
      ::inet_pton(AF_INET, address.c_str(), &bytes);
      reply += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
      reply.append(reinterpret_cast<char*>(&bytes), 4);
    }
    ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  }
}

Pop3Client::Pop3Client(int port, const char* from)
    : fd_(::socket(AF_INET, SOCK_STREAM, 0)), socket_(fd_) {
  if (from != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in address = Loopback(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to the proxy");
  }
}

Pop3Client::~Pop3Client() {
  ::close(fd_);
}

std::string Pop3Client::ReadLine() {
  std::string line;
  socket_.ReadLine(line);
  return line;
}

void Pop3Client::Send(const std::string& line) {
  Write(line + "\r\n");
}

void Pop3Client::Write(const std::string& bytes) {
  socket_.Write(bytes);
}

std::string Pop3Client::Command(const std::string& line) {
  Send(line);
  return ReadLine();
}

std::vector<std::string> Pop3Client::ReadUntilDot() {
  std::vector<std::string> lines;
  for (std::string line = ReadLine(); line != "."; line = ReadLine()) {
    lines.push_back(line);
    if (line == "<timeout>" || line == "<closed>") {
      break;
    }
  }
  return lines;
}

bool Pop3Client::Closed() {
  return ReadLine() == "<closed>";
}

ProxyHarness::ProxyHarness() : proxy(log, indicator) {
  char pattern[] = "/tmp/quillbox-proxy-test-XXXXXX";
  folder = ::mkdtemp(pattern);
  proxy.AssignEvents();
  proxy.ReverseLookupStack = &names;
  proxy.DNSPort = dns.Port();
  proxy.IdPOP3Server.Greeting.SetCodeAndText("+OK", "Welcome to the Quillbox");
  proxy.IdPOP3Server.MaxConnections = 0;
  proxy.IdPOP3Server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4});
}

ProxyHarness::~ProxyHarness() {
  proxy.IdPOP3Server.SetActive(false);
  std::filesystem::remove_all(folder);
}

void ProxyHarness::Start() {
  proxy.IdPOP3Server.SetActive(true);
  port = proxy.IdPOP3Server.Bindings().front().Port;
}

std::string ProxyHarness::RuleFile(const std::string& name, const std::string& content) {
  const std::string path = folder + "/" + name;
  std::ofstream(path) << content;
  return path;
}

std::string ProxyHarness::LoginName(const std::string& ruleFile) {
  return "alice#127.0.0.1:" + std::to_string(upstream.Port()) + ";" + ruleFile;
}

std::unique_ptr<Pop3Client> ProxyHarness::LoggedIn(const std::string& rules) {
  auto client = std::make_unique<Pop3Client>(port);
  if (client->ReadLine() != "+OK Welcome to the Quillbox" ||
      client->Command("USER " + LoginName(RuleFile("rules.ini", rules))) !=
          "+OK Password required" ||
      client->Command("PASS " + upstream.password) != "+OK Login OK") {
    throw std::runtime_error("login through the proxy failed");
  }
  return client;
}

std::vector<std::string> Message(std::vector<std::string> header, std::vector<std::string> body) {
  header.emplace_back();
  header.insert(header.end(), body.begin(), body.end());
  return header;
}

}  // namespace quillbox::test
