#include "judge/AllowList.h"

#include <gtest/gtest.h>

#include "base/Files.h"
#include "judge/S25R.h"
#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

using test::CapturingLog;

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  return text;
}

// Every row is one line of one list: the reason it is skipped for, or "" when it is an entry.
TEST(AllowListTest, ParserTakesEveryFormAndSkipsWhatItCannotUseWithItsLineNumber) {
  const struct {
    std::string line, problem;
  } rows[] = {
      {"198.51.100.7", ""},
      {"2001:DB8::0:25", ""},
      {"198.51.100.0/24", ""},
      {"2001:db8::/32", ""},
      {"0.0.0.0/0", ""},
      {"::/128", ""},
      {".amazonses.com", ""},
      {"mail.example.org.", ""},
      {"/^mail-[a-z0-9]+-f[0-9]+\\.google\\.com$/i", ""},
      {"{^mx[0-9]+\\.}i", ""},
      {"/a#b/", ""},
      {"  \t.yahoo.com  # Yahoo", ""},
      {"mail.example.net\r", ""},
      {"# a comment", ""},
      {"", ""},
      {" \t ", ""},
      {"198.51.100.1/24", "\"198.51.100.1/24\" has host bits set (the network is 198.51.100.0/24)"},
      {"2001:db8::1/32", "\"2001:db8::1/32\" has host bits set (the network is 2001:db8::/32)"},
      {"198.51.100.0/33", "\"198.51.100.0/33\" has no valid prefix length (0 to 32)"},
      {"2001:db8::/129", "\"2001:db8::/129\" has no valid prefix length (0 to 128)"},
      {"198.51.100.0/", "\"198.51.100.0/\" has no valid prefix length (0 to 32)"},
      {"198.51.100.0/-1", "\"198.51.100.0/-1\" has no valid prefix length (0 to 32)"},
      {"198.51.100.0/0024", "\"198.51.100.0/0024\" has no valid prefix length (0 to 32)"},
      {"999.1.1.1", "\"999.1.1.1\" is no valid IPv4 address"},
      {"198.51.100", "\"198.51.100\" is no valid IPv4 address"},
      {"2001:db8::zz", "\"2001:db8::zz\" is no valid IPv6 address"},
      {"[2001:db8::1]", "\"[2001:db8::1]\" is no valid IPv6 address"},
      {".com", "\".com\" is a top-level domain: it would allow every name below it"},
      {".", "\".\" is no valid domain"},
      {"..example.com", "\"..example.com\" is no valid domain"},
      {"mail..example.org",
       "\"mail..example.org\" is no address, network, domain (.example.com), host name or match "
       "expression"},
      {"mail example.org#x",
       "\"mail example.org#x\" is no address, network, domain (.example.com), host name or match "
       "expression"},
      {"/mail(/",
       "\"/mail(/\" is no valid match expression: missing closing parenthesis at offset 5"},
      {"/x/q",
       "\"/x/q\" is no valid match expression: unknown modifier 'q' in match expression: only i, "
       "m, s and x are allowed"},
      {"." + std::string(1000, 'a'), "longer than 1000 characters"},
  };
  std::string content;
  size_t entries = 0;
  std::vector<TAllowList::TProblem> problems;
  int number = 0;
  for (const auto& row : rows) {
    content += row.line + "\n";
    ++number;
    if (!row.problem.empty())
      problems.push_back({number, row.problem});
    else if (row.line.find_first_not_of(" \t") != std::string::npos && row.line[0] != '#')
      ++entries;
  }
  const TAllowList list("S25R_Allow.txt", content);
  EXPECT_EQ(list.Size(), entries);
  ASSERT_EQ(list.Problems().size(), problems.size());
  for (size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(list.Problems()[i].Line, problems[i].Line) << problems[i].Reason;
    EXPECT_EQ(list.Problems()[i].Reason, problems[i].Reason);
  }
  EXPECT_EQ(list.Skipped(), problems.size());
  // A file of garbage is skipped line by line, but only its first lines are kept for the log.
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += "bad name " + std::to_string(i) + "\n";
  const TAllowList bad("b", many);
  EXPECT_EQ(bad.Problems().size(), TAllowList::kMaxProblems);
  EXPECT_EQ(bad.Skipped(), 300u);
  EXPECT_EQ(bad.Problems().back().Line, 100);
}

// Each row: the sender's address, its host name, whether the forward lookup led back to the
// address, and the entry that allows it (none: "").
TEST(AllowListTest, FindsByAddressAlwaysAndByNameOnlyWhenTheForwardLookupConfirmedIt) {
  const TAllowList list("S25R_Allow.txt", Lines({
                                              ".amazonses.com",
                                              "mail.example.org",
                                              "198.51.100.0/24",
                                              "2001:db8::/32",
                                              "203.0.113.7",
                                              "2001:db8:ffff::25",
                                              "/^mail-[a-z0-9]+-f[0-9]+\\.google\\.com$/i",
                                              "192.0.2.128/25",
                                              "::ffff:192.0.2.8",
                                          }));
  const struct {
    const char* address;
    const char* host;
    bool confirmed;
    const char* entry;
  } rows[] = {
      {"192.0.2.1", "a8-12.smtp-out.amazonses.com", true, ".amazonses.com"},
      {"192.0.2.1", "amazonses.com", true, ".amazonses.com"},
      {"192.0.2.1", "A8-12.SMTP-OUT.AmazonSES.com.", true, ".amazonses.com"},
      {"192.0.2.1", "evilamazonses.com", true, ""},
      {"192.0.2.1", "amazonses.com.evil.example", true, ""},
      {"192.0.2.1", "a8-12.smtp-out.amazonses.com", false, ""},
      {"192.0.2.1", "mail.example.org", true, "mail.example.org"},
      {"192.0.2.1", "MAIL.example.org.", true, "mail.example.org"},
      {"192.0.2.1", "x.mail.example.org", true, ""},
      {"192.0.2.1", "mail.example.org", false, ""},
      {"192.0.2.1", "mail-pl1-f180.google.com", true, "/^mail-[a-z0-9]+-f[0-9]+\\.google\\.com$/i"},
      {"192.0.2.1", "mail-pl1-f180.google.com.evil.example", true, ""},
      {"192.0.2.1", "mail-pl1-f180.google.com", false, ""},
      {"192.0.2.1", "", true, ""},
      // By address, also where the reverse or the forward lookup failed.
      {"198.51.100.7", "", false, "198.51.100.0/24"},
      {"198.51.100.255", "dyn.example.net", false, "198.51.100.0/24"},
      {"198.51.101.7", "", false, ""},
      {"::ffff:198.51.100.7", "", false, "198.51.100.0/24"},
      {"192.0.2.8", "", false, "::ffff:192.0.2.8"},
      {"203.0.113.7", "", false, "203.0.113.7"},
      {"203.0.113.8", "", false, ""},
      {"192.0.2.200", "", false, "192.0.2.128/25"},
      {"192.0.2.127", "", false, ""},
      {"2001:db8:ffff::25", "", false, "2001:db8:ffff::25"},
      {"2001:db8::1", "", false, "2001:db8::/32"},
      {"2001:db9::1", "", false, ""},
      {"::ffff:c633:6407", "", false, "198.51.100.0/24"},
      {"no address", "", false, ""},
  };
  CapturingLog log;
  for (const auto& row : rows) {
    const TAllowList::TEntry* entry = list.Find(row.address, row.host, row.confirmed, log);
    EXPECT_EQ(entry ? entry->Text : "", row.entry) << row.address << " " << row.host;
  }
  // Expressions are tried together where they mean the same among others, alone where not, and
  // the first in the list's order that matches counts either way.
  const struct {
    std::vector<std::string> list;
    const char* host;
    const char* entry;
  } runs[] = {
      {{"/(go)ogle/", "/^(dup)\\1\\./"}, "dupdup.example.org", "/^(dup)\\1\\./"},
      {{"/(go)ogle/", "/^mail-/"}, "mail-x.google.com", "/(go)ogle/"},
      {{"/^a(*COMMIT)b/", "/zz/"}, "azz.example", "/zz/"},
      {{"/(?<n>q)/", "/(?<n>y)2/"}, "y2.example", "/(?<n>y)2/"},
      {{"/(?<n>x)y\\k<n>\\./", "/^mail-/"}, "xyx.example.org", "/(?<n>x)y\\k<n>\\./"},
      {{"/^mail-/", "/\\Qa+b/", "/^yy/"}, "xa+b.example", "/\\Qa+b/"},
      {{"/^ham#x/x", "/^yy/"}, "ham.example", "/^ham#x/x"},
      {{"/^mail-/", "/^yy/", "/\\.example$/"}, "dup.example", "/\\.example$/"},
      {{"/^mail-/", "/^yy/"}, "dup.example", ""},
  };
  for (const auto& run : runs) {
    const TAllowList runList("x", Lines(run.list));
    const TAllowList::TEntry* entry = runList.Find("192.0.2.1", run.host, true, log);
    EXPECT_EQ(entry ? entry->Text : "", run.entry) << run.host;
  }
  const TAllowList everyone("all", "0.0.0.0/0\n::/0\n");
  for (const char* address : {"192.0.2.1", "::ffff:192.0.2.1", "2001:db8::1", "::"})
    EXPECT_TRUE(everyone.Find(address, "", false, log)) << address;
  EXPECT_TRUE(log.Lines().empty());
}

TEST(AllowListTest, AllowedSenderIsNormalAndTheVerdictKeepsWhatItWouldHaveBeen) {
  using enum TSenderStatus;
  const TAllowList list("S25R_Allow.txt",
                        "# the big senders\n\n\n\n\n\n.google.com\n/^(a+)+!$/\n198.51.100.0/24\n");
  const auto verdict = [](TSenderStatus status, int rule, const char* address, const char* host,
                          bool confirmed) {
    return TVerdict{status, rule, address, host, address, 3600, false, confirmed, std::nullopt};
  };
  const std::string limited = std::string(5000, 'a') + "!.example.org";
  const struct {
    TVerdict judged;
    std::optional<TAllowedBy> allowedBy;
    std::vector<std::string> logged;
  } rows[] = {
      {verdict(kRuleMatched, 1, "192.0.2.1", "mail-pl1-f180.google.com", true),
       TAllowedBy{"S25R_Allow.txt", 7, ".google.com", kRuleMatched, 1},
       {"   P    Allowed by S25R_Allow.txt line 7 (.google.com): would be S25R Rule 1"}},
      {verdict(kParanoidCheckFailure, 0, "192.0.2.1", "mail-pl1-f180.google.com", false),
       std::nullopt,
       {}},
      {verdict(kReverseLookupFailure, 0, "198.51.100.7", "", false),
       TAllowedBy{"S25R_Allow.txt", 9, "198.51.100.0/24", kReverseLookupFailure, 0},
       {"   P    Allowed by S25R_Allow.txt line 9 (198.51.100.0/24): would be Reverse lookup "
        "failure"}},
      {verdict(kNormal, 0, "198.51.100.7", "mail.example.org", true), std::nullopt, {}},
      {TVerdict(), std::nullopt, {}},
      {verdict(kRuleMatched, 2, "192.0.2.1", limited.c_str(), true),
       std::nullopt,
       {"   P    S25R_Allow.txt line 8 /^(a+)+!$/ exceeded the matcher's limit (match limit "
        "exceeded) and counts as no match"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.judged.HostName.substr(0, 30));
    CapturingLog log;
    TVerdict applied = row.judged;
    list.Apply(applied, log);
    EXPECT_EQ(applied.AllowedBy, row.allowedBy);
    TVerdict expected = row.judged;
    if (row.allowedBy) {
      expected.Status = kNormal;
      expected.Rule = 0;
      expected.AllowedBy = row.allowedBy;
    }
    EXPECT_EQ(applied, expected);
    EXPECT_EQ(log.Lines(), row.logged);
  }
}

// The shipped list, as it ships: each entry's comment names host names of that sender and the
// rules they trip; the rules trip them, the list rescues them, and it rescues nobody who names
// his own hosts under a cloud or dynamic-DNS domain.
TEST(AllowListTest, ShippedListRescuesTheBigSendersThatTheShippedRulesCatch) {
  const std::string text =
      ReadFileBounded(QUILLBOX_EXAMPLES_DIR "/S25R_Allow.txt", 1 << 20).value_or("");
  const auto rules = TS25RJudgment::RulesFromText(
      ReadFileBounded(QUILLBOX_EXAMPLES_DIR "/S25R_Rules.txt", 4096).value_or(""));
  const TAllowList list("S25R_Allow.txt", text);
  EXPECT_TRUE(list.Problems().empty());
  EXPECT_GE(list.Size(), 10u);
  CapturingLog log;
  size_t checked = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t hash = line.find(" #");
    if (line.empty() || line[0] == '#' || hash == std::string::npos)
      continue;
    const std::string entry = line.substr(0, line.find(' '));
    std::string comment = line.substr(hash);
    for (size_t at; (at = comment.find(" (rule ")) != std::string::npos;) {
      const std::string host =
          comment.substr(comment.rfind(' ', at - 1) + 1, at - 1 - comment.rfind(' ', at - 1));
      const int rule = std::stoi(comment.substr(at + 7));
      comment.erase(0, at + 7);
      SCOPED_TRACE(entry + " " + host);
      EXPECT_EQ(TS25RJudgment::FirstMatchingRule(rules, host, log), rule);
      const TAllowList::TEntry* found = list.Find("192.0.2.1", host, true, log);
      EXPECT_EQ(found ? found->Text : "", entry);
      EXPECT_FALSE(list.Find("192.0.2.1", host, false, log)) << "a PTR record is no proof";
      ++checked;
    }
  }
  EXPECT_GE(checked, list.Size());
  for (const char* host :
       {"ec2-203-0-113-7.compute-1.amazonaws.com", "7.113.0.203.bc.googleusercontent.com",
        "host-1-2.dyndns.org", "pc-198-51-100-7.no-ip.org", "mail-1-2.dynamic.example.com",
        "p1234-ipbf01marunouchi.tokyo.ocn.ne.jp"})
    EXPECT_FALSE(list.Find("192.0.2.1", host, true, log)) << host;
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace quillbox
