#include "judge/AllowZones.h"

#include <gtest/gtest.h>

#include "support/FakeDns.h"
#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

using namespace test;
using TKind = TZoneAnswer::TKind;

TEST(AllowZonesTest, AsksForTheAddressReversedUnderTheZone) {
  const struct {
    const char* address;
    std::string name;
  } rows[] = {
      {"198.51.100.7", "7.100.51.198.list.example"},
      {"198.51.100.007", "7.100.51.198.list.example"},
      {"::ffff:198.51.100.7", "7.100.51.198.list.example"},
      {"2001:DB8::25",
       "5.2.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.list.example"},
      {"no address", ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ZoneQueryName(row.address, "list.example"), row.name) << row.address;
}

// One sender, asked of a zone for each answer a DNS allow list may give: only an address in
// 127.0.0.0/8 that is no error code allows it.
TEST(AllowZonesTest, OnlyAListingAllowsAndAnErrorCodeOrSilenceAllowsNothing) {
  const std::string address = "198.51.100.7";
  ScriptedDnsServer server([](const std::string& q) -> std::vector<Datagram> {
    const std::string name = QuestionName(q);
    const std::string zone = name.substr(name.find(".198.") + 5);
    const std::string kQ = Pointer(12);
    if (zone == "listed.example")
      return {{ReplyTo(q, {1}, ARecord(kQ, "127.0.0.2", 600))}};
    if (zone == "failed.example")
      return {{ReplyTo(q, {1}, ARecord(kQ, "127.0.0.255"))}};
    if (zone == "refused.example")
      return {{ReplyTo(q, {1}, ARecord(kQ, "127.255.255.254", 60))}};
    if (zone == "outside.example")
      return {{ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"))}};
    if (zone == "both.example")
      return {{ReplyTo(q, {2}, ARecord(kQ, "127.0.0.2", 900) + ARecord(kQ, "127.255.255.252"))}};
    if (zone == "empty.example")
      return {{ReplyTo(q, {}, "")}};
    if (zone == "servfail.example")
      return {{ReplyTo(q, {}, "", 0x8182)}};
    if (zone == "silent.example")
      return {};
    return {{ReplyTo(q, {}, "", 0x8183)}};
  });
  const struct {
    const char* zone;
    TKind kind;
    const char* answered;
    std::optional<uint32_t> ttl;
    std::optional<std::chrono::seconds> kept;
  } rows[] = {
      {"listed.example", TKind::kListed, "127.0.0.2", 600, std::chrono::seconds(600)},
      {"failed.example", TKind::kError, "127.0.0.255", 3600, std::chrono::seconds(3600)},
      {"refused.example", TKind::kError, "127.255.255.254", 60, std::chrono::seconds(60)},
      {"outside.example", TKind::kError, "192.0.2.1", 3600, std::chrono::seconds(3600)},
      {"both.example", TKind::kError, "127.255.255.252", 900, std::chrono::seconds(900)},
      {"nx.example", TKind::kNotListed, "", std::nullopt, std::chrono::seconds(300)},
      {"empty.example", TKind::kNotListed, "", std::nullopt, std::chrono::seconds(300)},
      {"servfail.example", TKind::kNoAnswer, "", std::nullopt, std::nullopt},
      {"silent.example", TKind::kNoAnswer, "", std::nullopt, std::nullopt},
  };
  std::vector<std::string> zones;
  for (const auto& row : rows)
    zones.push_back(row.zone);
  TZoneLookups lookups({"127.0.0.1", server.Port(), 300, nullptr}, zones, address);
  const std::vector<TZoneAnswer> answers = lookups.Answers();
  ASSERT_EQ(answers.size(), std::size(rows));
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(rows[i].zone);
    EXPECT_EQ(answers[i], (TZoneAnswer{rows[i].zone, rows[i].kind, rows[i].answered, rows[i].ttl}));
    EXPECT_EQ(TZoneAnswerCache::Lifetime(answers[i]), rows[i].kept);
  }
  EXPECT_EQ(server.Queries().size(), std::size(rows));

  using enum TSenderStatus;
  const TVerdict judged{kRuleMatched, 1,     address, "dyn-1-2.example.net", address,
                        60,           false, true,    std::nullopt};
  CapturingLog log;
  std::vector<TZoneAnswer> unlisted(answers.begin() + 1, answers.end());
  TVerdict allowed = judged;
  ApplyZoneAnswers(allowed, unlisted, log);
  EXPECT_EQ(allowed, judged);
  ApplyZoneAnswers(allowed, answers, log);
  EXPECT_EQ(allowed.Status, kNormal);
  EXPECT_EQ(allowed.AllowedBy, (TAllowedBy{"listed.example", 0, "127.0.0.2", kRuleMatched, 1}));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"   P    Allowed by listed.example (127.0.0.2): "
                                                  "would be S25R Rule 1"});
}

}  // namespace
}  // namespace quillbox
