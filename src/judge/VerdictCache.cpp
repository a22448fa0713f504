#include "judge/VerdictCache.h"

#include <algorithm>

namespace quillbox {
namespace {

std::string Key(const std::string& dnsServer, const std::string& address) {
  // Neither part holds a line feed (a rule-file value is one line, an address is numeric text).
  return dnsServer + '\n' + address;
}

}  // namespace

TVerdictCache::TVerdictCache(size_t capacity, Clock clock)
    : capacity_(std::max<size_t>(capacity, 1)), clock_(std::move(clock)) {}

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
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = index_.find(Key(dnsServer, address));
  if (found == index_.end())
    return std::nullopt;
  if (clock_() >= found->second->expires) {
    order_.erase(found->second);
    index_.erase(found);
    return std::nullopt;
  }
  order_.splice(order_.begin(), order_, found->second);
  return found->second->judged;
}

void TVerdictCache::Store(const std::string& dnsServer, const TJudged& judged) {
  const auto lifetime = Lifetime(judged.Verdict);
  if (!lifetime)
    return;
  std::string key = Key(dnsServer, judged.Verdict.Address);
  std::lock_guard<std::mutex> hold(lock_);
  const auto expires = clock_() + *lifetime;
  if (const auto found = index_.find(key); found != index_.end()) {
    found->second->judged = judged;
    found->second->expires = expires;
    order_.splice(order_.begin(), order_, found->second);
    return;
  }
  order_.push_front({key, judged, expires});
  index_.emplace(std::move(key), order_.begin());
  if (order_.size() > capacity_) {
    index_.erase(order_.back().key);
    order_.pop_back();
  }
}

size_t TVerdictCache::Size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return order_.size();
}

}  // namespace quillbox
