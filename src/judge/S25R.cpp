#include "judge/S25R.h"

#include <algorithm>

#include "judge/BRegExp.h"
#include "net/IdException.h"

namespace quillbox {

std::vector<std::string> TS25RJudgment::RulesFromText(std::string_view text) {
  std::vector<std::string> rules;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    std::erase(line, '\r');
    rules.push_back(std::move(line));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return rules;
}

TForwardLookup TS25RJudgment::HostNameToIPAddresses(TIdDNSResolver& resolver,
                                                    const std::string& dnsServer,
                                                    const std::string& hostName,
                                                    TQueryRecordTypes type) {
  TForwardLookup found;
  resolver.Host = dnsServer;
  resolver.QueryType = {type};
  try {
    resolver.QueryDomain(hostName, 1);
  } catch (const std::exception&) {
    // An answer saying the name does not exist settles it; a server failure does not.
    constexpr int kNameError = 3;
    found.Settled = resolver.ReplyCode() == kNameError;
    return found;
  }
  found.Settled = resolver.ReplyCode().has_value();
  // Records the server added for other names (its name servers', an unrelated owner's) say
  // nothing about this one's addresses.
  const TAnswerRecords answer =
      AnswerRecordsFor(resolver.QueryResult(), hostName, QueryTypeCode(type));
  for (const TResultRecord* record : answer.Records) {
    // An address record without data has no address to compare with the sender's.
    const std::string* address = nullptr;
    if (const auto* a = dynamic_cast<const TARecord*>(record))
      address = &a->Address();
    else if (const auto* aaaa = dynamic_cast<const TAAAARecord*>(record))
      address = &aaaa->Address;
    if (address == nullptr || address->empty())
      continue;
    found.Addresses.push_back(*address);
    found.TTL = std::min(found.TTL.value_or(record->TTL), record->TTL);
  }
  if (found.TTL && answer.AliasTTL)
    found.TTL = std::min(*found.TTL, *answer.AliasTTL);
  return found;
}

int TS25RJudgment::FirstMatchingRule(const std::vector<std::string>& rules,
                                     const std::string& hostName, LogSink& log) {
  std::string expression;
  for (size_t i = 0; i < rules.size(); ++i) {
    expression.assign("m").append(rules[i]);
    const auto what = [&] { return "S25R rule " + std::to_string(i + 1) + " " + rules[i]; };
    if (MatchWithinLimits(SharedRegExp(), expression, hostName, log, what) == 1)
      return static_cast<int>(i + 1);
  }
  return 0;
}

TVerdict TS25RJudgment::CheckByS25R(LogSink& log, TIdDNSResolver& resolver, TIdStack& stack,
                                    const std::string& dnsServer,
                                    const std::vector<std::string>& rules,
                                    const std::string& address, TForwardLookup* forwardOut) {
  TVerdict verdict;
  verdict.Address = address;
  try {
    verdict.HostName = stack.AddressToHostName(address);
  } catch (const EIdSocketError& e) {
    verdict.HostName.clear();
    verdict.Transient = e.LastError() != kWsaHostNotFound;
  } catch (const std::exception&) {
    verdict.HostName.clear();
    verdict.Transient = true;
  }
  if (verdict.HostName.empty()) {
    verdict.Status = TSenderStatus::kReverseLookupFailure;
    return verdict;
  }
  log.AddToMemo("   P    Sender's hostname: " + verdict.HostName);

  const bool ipv6 = address.find(':') != std::string::npos;
  const TForwardLookup forward =
      HostNameToIPAddresses(resolver, dnsServer, verdict.HostName, ipv6 ? qtAAAA : qtA);
  verdict.Transient = !forward.Settled;
  if (forwardOut != nullptr)
    *forwardOut = forward;
  if (forward.Addresses.empty()) {
    verdict.Status = TSenderStatus::kForwardLookupFailure;
    return verdict;
  }
  verdict.ForwardTTL = forward.TTL;

  std::string own = address;
  if (const auto bytes = ipv6 ? ParseIPv6(address) : std::nullopt)
    own = IPv6Text(*bytes);
  const auto found = std::find(forward.Addresses.begin(), forward.Addresses.end(), own);
  const bool paranoidOk = found != forward.Addresses.end();
  verdict.LookupedAddress = paranoidOk ? *found : forward.Addresses.front();
  verdict.ForwardConfirmed = paranoidOk;
  verdict.Status = paranoidOk ? TSenderStatus::kNormal : TSenderStatus::kParanoidCheckFailure;
  if (const int rule = FirstMatchingRule(rules, verdict.HostName, log); rule > 0) {
    verdict.Status = TSenderStatus::kRuleMatched;
    verdict.Rule = rule;
  }
  return verdict;
}

}  // namespace quillbox
