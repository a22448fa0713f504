#include "judge/S25R.h"

#include <fstream>

#include "judge/BRegExp.h"

namespace quillbox {

namespace {

// A rules file is a few dozen lines; this only stops a wrong file from filling the memory.
constexpr std::streamsize kMaxRulesFileSize = 4 * 1024 * 1024;

}  // namespace

bool TS25RJudgment::LoadRulesFile(std::vector<std::string>& rules, const std::string& fileName) {
  rules.clear();
  std::ifstream file(fileName, std::ios::binary);
  if (!file)
    return false;
  std::string line;
  std::streamsize total = 0;
  while (std::getline(file, line)) {
    total += static_cast<std::streamsize>(line.size()) + 1;
    if (total > kMaxRulesFileSize)
      return false;
    std::erase(line, '\r');
    rules.push_back(std::move(line));
  }
  return file.eof() && !file.bad();
}

void TS25RJudgment::HostNameToIPAddresses(TIdDNSResolver& resolver, const std::string& dnsServer,
                                          const std::string& hostName,
                                          std::vector<std::string>& addresses) {
  addresses.clear();
  resolver.Host = dnsServer;
  resolver.QueryType = {qtA};
  try {
    resolver.QueryDomain(hostName, 1);
  } catch (const std::exception&) {
    return;
  }
  for (const auto& record : resolver.QueryResult()) {
    // An address record without data has no address to compare with the sender's.
    const auto* a = dynamic_cast<const TARecord*>(record.get());
    if (a != nullptr && !a->Address().empty())
      addresses.push_back(a->Address());
  }
}

int TS25RJudgment::FirstMatchingRule(const std::vector<std::string>& rules,
                                     const std::string& hostName) {
  TBRegExp& matcher = SharedRegExp();
  std::string expression;
  for (size_t i = 0; i < rules.size(); ++i) {
    expression.assign("m").append(rules[i]);
    if (matcher.Match(expression, hostName) == 1)
      return static_cast<int>(i + 1);
  }
  return 0;
}

void TS25RJudgment::CheckByS25R(TIdDNSResolver& resolver, TIdStack& stack,
                                const std::string& dnsServer, const std::vector<std::string>& rules,
                                const std::string& address, std::string& hostName,
                                std::string& lookupedAddress, int& status) {
  try {
    hostName = stack.AddressToHostName(address);
  } catch (const std::exception&) {
    hostName.clear();
  }
  if (hostName.empty()) {
    status = -1;
    return;
  }
  log_.AddToMemo("   P    Sender's hostname: " + hostName);

  std::vector<std::string> forward;
  HostNameToIPAddresses(resolver, dnsServer, hostName, forward);
  if (forward.empty()) {
    status = -2;
    return;
  }

  lookupedAddress.clear();
  bool paranoidOk = false;
  for (const std::string& candidate : forward) {
    if (candidate == address) {
      lookupedAddress = address;
      paranoidOk = true;
      break;
    }
  }
  if (!paranoidOk) {
    lookupedAddress = forward.front();
    status = -3;
  }

  if (const int rule = FirstMatchingRule(rules, hostName); rule > 0)
    status = rule;
}

}  // namespace quillbox
