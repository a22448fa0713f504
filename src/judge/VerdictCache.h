#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "judge/Verdict.h"

namespace quillbox {

// A verdict with the log lines its judgment wrote (the host name found, rules the matcher gave
// up on), so that whoever uses it can show them as if it had judged itself.
struct TJudged {
  TVerdict Verdict;
  std::vector<std::string> Lines;
};

// Verdicts kept across sessions, so that a user who checks every few minutes is not judged anew
// for every mailing-list message. Keyed by the sender's address text and the DNS server that
// judged it ("server port"): a verdict of one server never serves another. An entry lives as
// long as its forward lookup's records may be kept (TVerdict::ForwardTTL, at most kMaxLifetime);
// a failure that the DNS settled (no name, no address) kFailureLifetime; a verdict that a lookup
// did not settle (TVerdict::Transient) is not kept. The S25R rules are read once at start-up, so
// a kept rule verdict cannot go stale with them. At most `capacity` entries: the least recently
// used goes first.
//
// Thread-safe: one mutex guards the entries; the clock is called under it.
class TVerdictCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr size_t kCapacity = 10000;
  static constexpr std::chrono::seconds kMaxLifetime{3600};
  static constexpr std::chrono::seconds kFailureLifetime{300};

  explicit TVerdictCache(size_t capacity = kCapacity, Clock clock = std::chrono::steady_clock::now);

  std::optional<TJudged> Find(const std::string& dnsServer, const std::string& address);
  void Store(const std::string& dnsServer, const TJudged& judged);
  size_t Size() const;

  // How long a verdict may be kept; none: not at all.
  static std::optional<std::chrono::seconds> Lifetime(const TVerdict& verdict);

 private:
  struct Entry {
    std::string key;
    TJudged judged;
    std::chrono::steady_clock::time_point expires;
  };

  const size_t capacity_;
  const Clock clock_;
  mutable std::mutex lock_;  // guards order_ and index_
  std::list<Entry> order_;   // the most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace quillbox
