#include "judge/VerdictCache.h"

#include <algorithm>

namespace quillbox {
namespace {

std::string Key(const std::string& dnsServer, const std::string& address) {
  // Neither part holds a line feed (a rule-file value is one line, an address is numeric text).
  return dnsServer + '\n' + address;
}

}  // namespace

TVerdictCache::TVerdictCache(size_t capacity, Clock clock) : entries_(capacity, std::move(clock)) {}

std::optional<std::chrono::seconds> TVerdictCache::Lifetime(const TVerdict& verdict) {
  if (verdict.Transient || verdict.Status == TSenderStatus::kUnknown)
    return std::nullopt;
  switch (verdict.Status) {
    case TSenderStatus::kReverseLookupFailure:
    case TSenderStatus::kForwardLookupFailure:
      return kFailureLifetime;
    default:
      break;
  }
  // Normal, a rule and the paranoid check all rest on the forward lookup's records; the reverse
  // lookup's TTL is not known (the system resolver does not tell it), so the hour bounds it.
  if (!verdict.ForwardTTL || *verdict.ForwardTTL == 0)
    return std::nullopt;
  return std::min(std::chrono::seconds(*verdict.ForwardTTL), kMaxLifetime);
}

std::optional<TJudged> TVerdictCache::Find(const std::string& dnsServer,
                                           const std::string& address) {
  return entries_.Find(Key(dnsServer, address));
}

void TVerdictCache::Store(const std::string& dnsServer, const TJudged& judged,
                          std::optional<uint64_t> generation) {
  const auto lifetime = Lifetime(judged.Verdict);
  if (!lifetime)
    return;
  entries_.Store(Key(dnsServer, judged.Verdict.Address), {judged.Verdict, judged.Lines, {}},
                 *lifetime, generation);
}

}  // namespace quillbox
