#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "judge/AllowZones.h"
#include "judge/ExpiringCache.h"
#include "judge/Verdict.h"

namespace quillbox {

// A verdict with the log lines its judgment wrote (the host name found, rules the matcher gave
// up on), so that whoever uses it can show them as if it had judged itself, and the answers of
// the DNS allow lists the session asked (their own cache keeps them: the zones are the user's).
struct TJudged {
  TVerdict Verdict;
  std::vector<std::string> Lines;
  std::vector<TZoneAnswer> Zones;
};

// Verdicts kept across sessions, so that a user who checks every few minutes is not judged anew
// for every mailing-list message. Keyed by the sender's address text and the DNS server that
// judged it ("server port"): a verdict of one server never serves another. An entry lives as
// long as its forward lookup's records may be kept (TVerdict::ForwardTTL, at most kMaxLifetime);
// a failure that the DNS settled (no name, no address) kFailureLifetime; a verdict that a lookup
// did not settle (TVerdict::Transient) is not kept. A verdict is kept as judged, without the allow
// lists, which are applied when it is used. New S25R rules Clear() it, and a verdict judged
// with the rules of before (stored with their generation) is not kept. At most `capacity`
// entries: the least recently used goes first.
//
// Thread-safe (TExpiringCache).
class TVerdictCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr size_t kCapacity = 10000;
  static constexpr std::chrono::seconds kMaxLifetime{3600};
  static constexpr std::chrono::seconds kFailureLifetime{300};

  explicit TVerdictCache(size_t capacity = kCapacity, Clock clock = std::chrono::steady_clock::now);

  std::optional<TJudged> Find(const std::string& dnsServer, const std::string& address);
  // Keeps judged without its zone answers; not when generation is given and Clear() ran since.
  void Store(const std::string& dnsServer, const TJudged& judged,
             std::optional<uint64_t> generation = std::nullopt);
  void Clear() { entries_.Clear(); }
  uint64_t Generation() const { return entries_.Generation(); }
  size_t Size() const { return entries_.Size(); }

  // How long a verdict may be kept; none: not at all.
  static std::optional<std::chrono::seconds> Lifetime(const TVerdict& verdict);

 private:
  TExpiringCache<TJudged> entries_;
};

}  // namespace quillbox
