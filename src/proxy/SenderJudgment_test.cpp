#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Message;
using test::Pop3Client;
using Lines = std::vector<std::string>;

// Further keys of section S25R may follow.
const std::string kRules =
    "[QuillboxRules]\nLookAhead=0\n"
    "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\(\\S* ?\\[[0-9.]+\\]\\)/\n";
const Lines kS25RRules = {"/^mail\\.example\\.com$/", "/^dyn-/"};

Lines Header(const std::string& address) {
  return {"Received: from x (y [" + address + "]) by mx.example.net", "Subject: " + address};
}

// Senders whose names the rules catch (rule 2) unless a list allows them.
struct Allowing : test::ProxyHarness {
  Allowing() {
    names.nameOf = {{"198.51.100.2", "dyn-198-51-100-2.example.com"},
                    {"192.0.2.33", "dyn-cheat.example.com"},
                    {"203.0.113.9", "dyn-own.example.net"},
                    {"198.51.100.77", "dyn-listed.example.net"},
                    {"198.51.100.88", "dyn-refused.example.net"},
                    {"198.51.100.89", "dyn-failed.example.net"}};
    dns.SetAddresses({{"dyn-198-51-100-2.example.com", {"198.51.100.2"}},
                      {"dyn-cheat.example.com", {"192.0.2.1"}},
                      {"dyn-own.example.net", {"203.0.113.9"}},
                      {"dyn-listed.example.net", {"198.51.100.77"}},
                      {"dyn-refused.example.net", {"198.51.100.88"}},
                      {"dyn-failed.example.net", {"198.51.100.89"}},
                      {"77.100.51.198.list.example", {"127.0.0.2"}},
                      {"88.100.51.198.list.example", {"127.255.255.254"}},
                      {"89.100.51.198.list.example", {"127.0.0.255"}}});
    proxy.JudgeFiles.Use(kS25RRules);
  }
  void Mailbox(const std::vector<std::string>& senders) {
    for (const std::string& sender : senders)
      upstream.messages.push_back(Message(Header(sender), {"b"}));
  }
  // The four lines message n gets, each line after "X-Quillbox-".
  Lines Verdict(Pop3Client& client, int n) {
    EXPECT_EQ(client.Command("RETR " + std::to_string(n)).substr(0, 3), "+OK");
    Lines lines = client.ReadUntilDot();
    lines.erase(lines.begin(), lines.begin() + 2);
    lines.resize(4);
    for (std::string& line : lines)
      line.erase(0, 11);
    return lines;
  }
  void SharedList(const std::string& content) {
    proxy.JudgeFiles.Use(kS25RRules, std::make_shared<const TAllowList>("S25R_Allow.txt", content));
  }
};

// Each row is one message: its sender, the four values it gets, and the log lines its verdict
// adds after the sender's host name (if any): the list that allowed it and what it would be.
TEST(SenderJudgmentTest, AllowedSenderIsNormalAndTheLogSaysByWhichEntryAndWhatItWouldBe) {
  Allowing h;
  h.SharedList("# big senders\n.example.com\n192.0.2.99\n");
  std::ofstream(h.folder + "/own.txt") << "203.0.113.0/24\n";
  const struct {
    const char* sender;
    Lines four;
    Lines logged;
  } rows[] = {
      {"198.51.100.2",
       {"Sender-IP-Address: 198.51.100.2", "Sender-Hostname: dyn-198-51-100-2.example.com",
        "Lookuped-IP-Address: 198.51.100.2", "Status: Normal"},
       {"   P    Allowed by S25R_Allow.txt line 2 (.example.com): would be S25R Rule 2"}},
      // Anybody may write an allowed name into his own PTR record: the name must lead back.
      {"192.0.2.33",
       {"Sender-IP-Address: 192.0.2.33", "Sender-Hostname: dyn-cheat.example.com",
        "Lookuped-IP-Address: 192.0.2.1", "Status: S25R Rule 2"},
       {}},
      {"192.0.2.99",
       {"Sender-IP-Address: 192.0.2.99",
        "Sender-Hostname: ", "Lookuped-IP-Address: ", "Status: Normal"},
       {"   P    Allowed by S25R_Allow.txt line 3 (192.0.2.99): would be Reverse lookup failure"}},
      {"203.0.113.9",
       {"Sender-IP-Address: 203.0.113.9", "Sender-Hostname: dyn-own.example.net",
        "Lookuped-IP-Address: 203.0.113.9", "Status: Normal"},
       {"   P    Allowed by own.txt line 1 (203.0.113.0/24): would be S25R Rule 2"}},
      {"198.51.100.77",
       {"Sender-IP-Address: 198.51.100.77", "Sender-Hostname: dyn-listed.example.net",
        "Lookuped-IP-Address: 198.51.100.77", "Status: Normal"},
       {"   P    Allowed by list.example (127.0.0.2): would be S25R Rule 2"}},
      // A list's codes for a refused or failed query are no listing, said once a session.
      {"198.51.100.88",
       {"Sender-IP-Address: 198.51.100.88", "Sender-Hostname: dyn-refused.example.net",
        "Lookuped-IP-Address: 198.51.100.88", "Status: S25R Rule 2"},
       {"   P    AllowZones list.example answered 127.255.255.254, which lists nobody (an "
        "address outside 127.0.0.0/8, or the code of a refused or failed query): it allows "
        "nothing"}},
      {"198.51.100.89",
       {"Sender-IP-Address: 198.51.100.89", "Sender-Hostname: dyn-failed.example.net",
        "Lookuped-IP-Address: 198.51.100.89", "Status: S25R Rule 2"},
       {}},
  };
  for (const auto& row : rows)
    h.Mailbox({row.sender});
  h.Start();
  auto client = h.LoggedIn(kRules + "AllowFile=own.txt\nAllowZones=List.Example.\n");
  EXPECT_TRUE(h.log.WaitFor("   P    Allow file: own.txt, 1 entry"));
  EXPECT_TRUE(h.log.WaitFor("   P    Allow zones: list.example"));
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sender);
    EXPECT_EQ(h.Verdict(*client, ++n), row.four);
    Lines logged = h.log.Since("C->P    RETR " + std::to_string(n));
    logged.erase(std::remove_if(logged.begin(), logged.end(),
                                [](const std::string& line) { return !line.starts_with("   P "); }),
                 logged.end());
    if (!logged.empty() && logged.front().starts_with("   P    Sender's hostname: "))
      logged.erase(logged.begin());
    EXPECT_EQ(logged, row.logged);
  }
}

// The verdicts kept are those without the lists, which count as they are when a verdict is
// used: an entry added or removed counts at once, without a lookup.
TEST(SenderJudgmentTest, KeptVerdictMeetsTheListsAsTheyAreWhenItIsUsed) {
  Allowing h;
  h.Mailbox({"198.51.100.2", "198.51.100.77"});
  h.Start();
  const std::string zones = kRules + "AllowZones=list.example\n";
  const struct {
    const char* list;
    const char* status;
  } sessions[] = {{"", "Status: S25R Rule 2"},
                  {".example.com\n", "Status: Normal"},
                  {"", "Status: S25R Rule 2"}};
  for (const auto& session : sessions) {
    h.SharedList(session.list);
    auto client = h.LoggedIn(zones);
    EXPECT_EQ(h.Verdict(*client, 1)[3], session.status) << session.list;
    EXPECT_EQ(h.Verdict(*client, 2)[3], "Status: Normal") << "listed by the zone";
  }
  EXPECT_EQ(h.dns.Queries().size(), 4u) << "two forward lookups and two zone queries, once";
  EXPECT_EQ(h.names.Reversed().size(), 2u);
}

// A kept verdict always agrees with the rules in use: rules read again at a login empty the
// cache, and the sender is judged anew by them.
TEST(SenderJudgmentTest, RulesFileEditedBetweenLoginsIsReadAgainAndEmptiesTheKeptVerdicts) {
  Allowing h;
  h.Mailbox({"198.51.100.2"});
  const std::string rules = h.folder + "/S25R_Rules.txt";
  std::ofstream(rules) << "/^mail\\.example\\.com$/\n/^dyn-/\n";
  h.proxy.JudgeFiles.Load({h.folder});
  h.Start();
  {
    auto client = h.LoggedIn(kRules);
    EXPECT_EQ(h.Verdict(*client, 1)[3], "Status: S25R Rule 2");
  }
  EXPECT_EQ(h.proxy.VerdictCache.Size(), 1u);
  std::ofstream(rules) << "/^nothing/\n";
  auto client = h.LoggedIn(kRules);
  EXPECT_TRUE(
      h.log.WaitFor("   P    Read again, as it changed: S25R rules: " + rules + ", 1 rule"));
  EXPECT_EQ(h.Verdict(*client, 1)[3], "Status: Normal");
  EXPECT_EQ(h.names.Reversed().size(), 2u) << "judged again";
}

}  // namespace
}  // namespace quillbox
