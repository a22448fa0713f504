#include "judge/VerdictCache.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

// A kept verdict lives as long as its DNS records may be kept, a settled failure five minutes,
// an unsettled one not at all; one DNS server's verdicts never serve another, and the least
// recently used goes when the cache is full.
TEST(VerdictCacheTest, EntriesExpireWithTheirRecordsAndNeverCrossDnsServers) {
  using enum TSenderStatus;
  auto now = std::chrono::steady_clock::time_point();
  TVerdictCache cache(3, [&now] { return now; });
  const auto judged = [](const char* address, TSenderStatus status, std::optional<uint32_t> ttl,
                         bool transient = false) {
    return TJudged{{status, 0, address, "h", "", ttl, transient, false, std::nullopt},
                   {"   P    line " + std::string(address)},
                   {}};
  };
  const struct {
    TJudged judged;
    int keptSeconds;  // 0: not kept
  } cases[] = {
      {judged("192.0.2.1", kNormal, 600), 600},
      {judged("192.0.2.2", kRuleMatched, 86400), 3600},
      {judged("192.0.2.3", kParanoidCheckFailure, 0), 0},
      {judged("192.0.2.4", kForwardLookupFailure, std::nullopt), 300},
      {judged("192.0.2.5", kReverseLookupFailure, std::nullopt), 300},
      {judged("192.0.2.6", kForwardLookupFailure, std::nullopt, true), 0},
      {judged("192.0.2.7", kReverseLookupFailure, std::nullopt, true), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.judged.Verdict.Address);
    now = {};
    cache.Store("127.0.0.1 53", c.judged);
    EXPECT_EQ(cache.Find("127.0.0.1 5353", c.judged.Verdict.Address), std::nullopt);
    if (c.keptSeconds == 0) {
      EXPECT_EQ(cache.Find("127.0.0.1 53", c.judged.Verdict.Address), std::nullopt);
      continue;
    }
    now += std::chrono::seconds(c.keptSeconds - 1);
    const auto found = cache.Find("127.0.0.1 53", c.judged.Verdict.Address);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Verdict, c.judged.Verdict);
    EXPECT_EQ(found->Lines, c.judged.Lines);
    now += std::chrono::seconds(1);
    EXPECT_EQ(cache.Find("127.0.0.1 53", c.judged.Verdict.Address), std::nullopt);
  }
  EXPECT_EQ(cache.Size(), 0u);
  now = {};
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"})
    cache.Store("s", judged(address, kNormal, 60));
  EXPECT_TRUE(cache.Find("s", "192.0.2.1"));
  cache.Store("s", judged("192.0.2.4", kNormal, 60));
  EXPECT_EQ(cache.Size(), 3u);
  EXPECT_FALSE(cache.Find("s", "192.0.2.2"));
  EXPECT_TRUE(cache.Find("s", "192.0.2.1"));
}

}  // namespace
}  // namespace quillbox
