#include "judge/S25R.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "judge/BRegExp.h"
#include "support/FakeDns.h"
#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

using namespace test;

std::vector<std::string> ShippedRules() {
  std::vector<std::string> rules;
  EXPECT_TRUE(TS25RJudgment::LoadRulesFile(rules, QUILLBOX_EXAMPLES_DIR "/S25R_Rules.txt"));
  EXPECT_EQ(6u, rules.size());
  return rules;
}

TEST(S25RTest, ShippedRulesCatchGenericNamesAndPassRealServers) {
  const struct {
    const char* host;
    int rule;
  } cases[] = {
      // Dynamically assigned names, as access providers give them.
      {"p1234-ipbf01marunouchi.tokyo.ocn.ne.jp", 1},
      {"ZaqDadf7b86.zaq.ne.jp", 1},
      {"c-73-15-211-5.hsd1.ca.comcast.net", 1},
      {"YahooBB219011016028.bbtec.net", 2},
      {"softbank126112045067.bbtec.net", 2},
      {"pool.3.example.ne.jp", 3},
      {"183.76.example.dion.ne.jp", 3},
      {"host1.cust2-3.example.com", 4},
      {"ip1.block7.example.co.jp", 5},
      {"adsl-pool-abc9.example.net", 6},
      {"PPPoE-host7.example.com", 6},
      {"DHCP-12.example.net", 6},
      // Hosts that look like mail servers.
      {"mail.example.com", 0},
      {"mx01.example.com", 0},
      {"mail-out2.example.org", 0},
      {"smtp-out.mail.example.co.jp", 0},
      {"lists.debian.org", 0},
      {"o1.email.example.com", 0},
      {"localhost", 0},
  };
  const auto rules = ShippedRules();
  CapturingLog log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(c.rule, TS25RJudgment::FirstMatchingRule(rules, c.host, log));
  }
}

TEST(S25RTest, LoadRulesFileTakesEveryLineAsItStands) {
  const struct {
    std::string content;
    std::vector<std::string> rules;
  } cases[] = {
      {"/a/\r\n/b/\r\n", {"/a/", "/b/"}},
      {"/a/\n\n/c/", {"/a/", "", "/c/"}},
      {"/a\rb/\n  /c/ \n", {"/ab/", "  /c/ "}},
      {"\n", {""}},
      {"", {}},
  };
  char path[] = "/tmp/quillbox-rules-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    std::ofstream(path, std::ios::binary) << c.content;
    std::vector<std::string> rules{"old"};
    EXPECT_TRUE(TS25RJudgment::LoadRulesFile(rules, path));
    EXPECT_EQ(c.rules, rules);
  }
  unlink(path);
  std::vector<std::string> rules{"old"};
  EXPECT_FALSE(TS25RJudgment::LoadRulesFile(rules, path));
  EXPECT_TRUE(rules.empty());
}

// The judgment of one sender against a scripted DNS server that knows a few names.
struct Judgment {
  Judgment() {
    stack.nameOf = {
        {"192.0.2.1", "mail.example.org"},     {"192.0.2.01", "mail.example.org"},
        {"198.51.100.7", "nx.example.org"},    {"198.51.100.8", "bare.example.org"},
        {"198.51.100.9", "empty.example.org"}, {"203.0.113.5", "p123ab45.dyn.example.net"},
    };
    resolver.WaitingTime = 2000;
  }

  ScriptedDnsServer server{[](const std::string& q) {
    const auto has = [&q](const char* name) { return q.find(WireName(name)) != std::string::npos; };
    const std::string kQ = Pointer(12);
    std::string reply;
    if (has("mail.example.org"))
      reply = ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"));
    else if (has("p123ab45.dyn.example.net"))
      reply = ReplyTo(
          q, {3},
          ARecord(kQ, "192.0.2.77") + ARecord(kQ, "192.0.2.78") + ARecord(kQ, "203.0.113.5"));
    else if (has("bare.example.org"))
      reply = ReplyTo(q, {1}, Record(kQ, 1, ""));  // an address record without an address
    else if (has("empty.example.org"))
      reply = ReplyTo(q, {}, "");
    else
      reply = ReplyTo(q, {}, "", 0x8183);
    return std::vector<Datagram>{{reply}};
  }};
  CapturingLog log;
  TS25RJudgment judgment{log};
  FakeNameService stack;
  TIdDNSResolver resolver{stack};

  TVerdict Check(const std::vector<std::string>& rules, const std::string& address) {
    resolver.Port = server.Port();
    return judgment.CheckByS25R(log, resolver, stack, "127.0.0.1", rules, address);
  }
};

TEST(S25RTest, VerdictFollowsLookupsThenRules) {
  using enum TSenderStatus;
  const std::vector<std::string> none;
  const std::vector<std::string> dynamicRule = {"/^nomatch/", "/^p[0-9]+[a-z]+[0-9]+\\./"};
  const struct {
    const char* what;
    const char* address;
    std::vector<std::string> rules;
    const char* hostName;
    const char* lookuped;
    TSenderStatus status;
    int rule = 0;
  } cases[] = {
      {"no name for the address", "192.0.2.200", none, "", "", kReverseLookupFailure},
      {"name error on the forward lookup", "198.51.100.7", none, "nx.example.org", "",
       kForwardLookupFailure},
      {"no address records", "198.51.100.9", none, "empty.example.org", "", kForwardLookupFailure},
      {"an address record without data is no address", "198.51.100.8", none, "bare.example.org", "",
       kForwardLookupFailure},
      {"paranoid check passes", "192.0.2.1", none, "mail.example.org", "192.0.2.1", kNormal},
      {"sender third among the forward addresses", "203.0.113.5", none, "p123ab45.dyn.example.net",
       "203.0.113.5", kNormal},
      {"leading zero never equals a forward address", "192.0.2.01", none, "mail.example.org",
       "192.0.2.1", kParanoidCheckFailure},
      {"a rule match overrides the paranoid failure",
       "192.0.2.01",
       {"/^nomatch/", "/^mail\\./"},
       "mail.example.org",
       "192.0.2.1",
       kRuleMatched,
       2},
      {"rule after a passed paranoid check", "203.0.113.5", dynamicRule, "p123ab45.dyn.example.net",
       "203.0.113.5", kRuleMatched, 2},
      {"a blank line takes a rule number",
       "192.0.2.1",
       {"/^x/", "", "/example/"},
       "mail.example.org",
       "192.0.2.1",
       kRuleMatched,
       3},
      {"rules are skipped after a failed lookup",
       "198.51.100.7",
       {"/./"},
       "nx.example.org",
       "",
       kForwardLookupFailure},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Judgment j;
    EXPECT_EQ(j.Check(c.rules, c.address),
              (TVerdict{c.status, c.rule, c.address, c.hostName, c.lookuped}));
    const std::vector<std::string> logged =
        *c.hostName
            ? std::vector<std::string>{std::string("   P    Sender's hostname: ") + c.hostName}
            : std::vector<std::string>{};
    EXPECT_EQ(logged, j.log.Lines());
  }
}

TEST(S25RTest, RuleTheMatcherGivesUpOnCountsAsNoMatchAndIsLogged) {
  // The host name is the sender's choice (his own PTR record); a rule that backtracks over it
  // without end must not make his message unretrievable.
  CapturingLog log;
  const std::string host = std::string(5000, 'a') + "!.example.org";
  EXPECT_EQ(TS25RJudgment::FirstMatchingRule({"/^(a+)+!$/", "/example/"}, host, log), 2);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{
                             "   P    S25R rule 1 /^(a+)+!$/ exceeded the matcher's limit (match "
                             "limit exceeded) and counts as no match"});
}

TEST(S25RTest, RuleTheMatcherRejectsRaisesOutOfTheJudgment) {
  Judgment j;
  EXPECT_THROW(j.Check({"/^x/", "/mail(/"}, "192.0.2.1"), EBRegExpError);
}

TEST(S25RTest, ForwardLookupAsksTheGivenServerForAddressRecords) {
  Judgment j;
  std::vector<std::string> addresses{"stale"};
  j.resolver.Port = j.server.Port();
  j.judgment.HostNameToIPAddresses(j.resolver, "LOCALHOST", "p123ab45.dyn.example.net", addresses);
  EXPECT_EQ((std::vector<std::string>{"192.0.2.77", "192.0.2.78", "203.0.113.5"}), addresses);
  EXPECT_EQ("LOCALHOST", j.resolver.Host);
  EXPECT_EQ(TQueryType{qtA}, j.resolver.QueryType);

  j.resolver.WaitingTime = 100;
  j.judgment.HostNameToIPAddresses(j.resolver, "no-such-server.test", "mail.example.org",
                                   addresses);
  EXPECT_TRUE(addresses.empty());
}

TEST(S25RTest, RealNameServiceNamesTheLoopbackAddress) {
  EXPECT_FALSE(GStack().AddressToHostName("127.0.0.1").empty());
}

}  // namespace
}  // namespace quillbox
