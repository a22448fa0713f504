#include "support/Pop3Peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "net/IdSSLOpenSSL.h"

namespace quillbox::test {
namespace {

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
  TMutexLock hold(lock_);
  lines_.push_back(line);
  changed_.NotifyAll();
}

std::vector<std::string> CapturingLog::Lines() {
  TMutexLock hold(lock_);
  return lines_;
}

bool CapturingLog::WaitFor(const std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  TMutexLock hold(lock_);
  for (auto now = std::chrono::steady_clock::now();
       std::find(lines_.begin(), lines_.end(), line) == lines_.end();
       now = std::chrono::steady_clock::now()) {
    if (now >= deadline)
      return false;
    changed_.WaitFor(lock_, deadline - now);
  }
  return true;
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

ScriptedUpstream::ScriptedUpstream() : server_([this](int fd) { Serve(fd); }) {}

std::vector<std::string> ScriptedUpstream::Commands() {
  TMutexLock hold(lock_);
  return commands_;
}

void ScriptedUpstream::Serve(int fd) {
  LineSocket socket(fd);
  if (greeting != kStall)
    socket.Write(greeting + "\r\n");
  std::string command;
  while (socket.ReadLine(command, 60000)) {
    {
      TMutexLock hold(lock_);
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
    // The answer is not out yet: a command already here was sent without waiting for it.
    if (socket.Waiting())
      ++pipelined_;
    if (const size_t repeat = answer.find(kRepeat); repeat != std::string::npos) {
      const std::string_view block = std::string_view(answer).substr(repeat + kRepeat.size());
      if (socket.Write(answer.substr(0, repeat))) {
        while (socket.Write(block))
          repeated_ += block.size();
      }
      ++dropped_;
      return;
    }
    socket.Write(answer);
    if (command == "QUIT") {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
  if (command == "<closed>")
    ++dropped_;
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

Pop3Client::Pop3Client(int port, const char* from) {
  client_.BoundIP = from != nullptr ? from : "";
  const bool v6 = client_.BoundIP.find(':') != std::string::npos;
  client_.Host = v6 ? "::1" : "127.0.0.1";
  client_.IPVersion = v6 ? Id_IPv6 : Id_IPv4;
  client_.Port = port;
  client_.ReadTimeout = kWaitMs;
  client_.Connect();
  client_.IOHandler().MaxLineLength = TIdIOHandlerStack::kUnlimitedLineLength;
}

std::string Pop3Client::ReadLine() {
  try {
    std::string line = client_.IOHandler().ReadLine();
    return client_.IOHandler().ReadLnTimedOut() ? "<timeout>" : line;
  } catch (const Exception&) {
    return "<closed>";
  }
}

void Pop3Client::Send(const std::string& line) {
  Write(line + "\r\n");
}

void Pop3Client::Write(const std::string& bytes) {
  try {
    client_.IOHandler().Write(bytes);
  } catch (const Exception&) {
    // A proxy that has closed shows in the next read.
  }
}

std::string Pop3Client::StartTLS(const std::string& caFile) {
  try {
    InterposeTLS(client_.IOHandler()).Handshake({"localhost", !caFile.empty(), caFile}, kWaitMs);
    return "";
  } catch (const Exception& e) {
    return e.Message();
  }
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

std::string Pop3Client::ReadBytesUntilDot() {
  TIdIOHandlerStack& io = client_.IOHandler();
  try {
    // The search goes on where it stopped, so that a long answer is scanned once.
    for (size_t searched = 0;;) {
      const std::string_view bytes = io.InputBuffer();
      const size_t end = bytes.starts_with(".\r\n") ? 0 : bytes.find("\r\n.\r\n", searched);
      if (end != std::string_view::npos) {
        const size_t kept = end == 0 ? 0 : end + 2;
        std::string answer(bytes.substr(0, kept));
        io.DiscardInput(kept + 3);
        return answer;
      }
      searched = bytes.size() < 4 ? 0 : bytes.size() - 4;
      if (io.ReadFromSource(true, io.ReadTimeout, false) < 0)
        return "<timeout>";
    }
  } catch (const Exception&) {
    return "<closed>";
  }
}

void Pop3Client::SetReadTimeout(int timeoutMs) {
  client_.IOHandler().ReadTimeout = timeoutMs;
}

bool Pop3Client::Closed() {
  return ReadLine() == "<closed>";
}

std::vector<std::string> Message(std::vector<std::string> header, std::vector<std::string> body) {
  header.emplace_back();
  header.insert(header.end(), body.begin(), body.end());
  return header;
}

}  // namespace quillbox::test
