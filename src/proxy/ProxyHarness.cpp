#include "proxy/ProxyHarness.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quillbox::test {

HeapPeak::HeapPeak() : start_(InUse()), peak_(start_) {
  sampler_ = std::thread([this] {
    while (!stop_) {
      const size_t now = InUse();
      if (now > peak_)
        peak_ = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
}

HeapPeak::~HeapPeak() {
  stop_ = true;
  sampler_.join();
}

size_t HeapPeak::InUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::vector<std::string> WithFour(std::vector<std::string> lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "<4>") {
      lines.erase(lines.begin() + static_cast<ptrdiff_t>(i));
      lines.insert(lines.begin() + static_cast<ptrdiff_t>(i), kFour.begin(), kFour.end());
    }
  }
  return lines;
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

std::string ProxyHarness::LoginReply(const std::string& loginName, const std::string& password) {
  Pop3Client client(port);
  client.ReadLine();
  client.Command("USER " + loginName);
  return client.Command("PASS " + password);
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

bool ProxyHarness::GreetsWithin(std::chrono::milliseconds time) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    Pop3Client next(port);
    if (next.ReadLine() == "+OK Welcome to the Quillbox")
      return true;
    if (std::chrono::steady_clock::now() - start >= time)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace quillbox::test
