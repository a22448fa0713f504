#include "judge/S25R.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "base/Files.h"
#include "judge/BRegExp.h"
#include "support/FakeDns.h"
#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

using namespace test;

std::vector<std::string> ShippedRules() {
  const auto rules = TS25RJudgment::RulesFromText(
      ReadFileBounded(QUILLBOX_EXAMPLES_DIR "/S25R_Rules.txt", 4096).value_or(""));
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

TEST(S25RTest, RulesFromTextTakesEveryLineAsItStands) {
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
  for (const auto& c : cases)
    EXPECT_EQ(c.rules, TS25RJudgment::RulesFromText(c.content)) << c.content;
}

// The judgment of one sender against a scripted DNS server (on 127.0.0.1 or ::1) that knows a
// few names: some with addresses of both families, some of one only.
struct Judgment {
  explicit Judgment(const std::string& dnsServer = "127.0.0.1")
      : server(Script, dnsServer == "::1" ? AF_INET6 : AF_INET, Stream), dnsServer(dnsServer) {
    stack.nameOf = {
        {"192.0.2.1", "mail.example.org"},           {"192.0.2.01", "mail.example.org"},
        {"198.51.100.7", "nx.example.org"},          {"198.51.100.8", "bare.example.org"},
        {"198.51.100.9", "empty.example.org"},       {"198.51.100.10", "servfail.example.org"},
        {"203.0.113.5", "p123ab45.dyn.example.net"}, {"2001:db8::25", "mail6.example.org"},
        {"2001:0DB8:0::0025", "mail6.example.org"},  {"2001:db8::7", "nx.example.org"},
        {"2001:db8::8", "bare.example.org"},         {"2001:db8::9", "empty.example.org"},
        {"2001:db8::1", "mail.example.org"},         {"2001:db8:1::5", "p123ab45.dyn.example.net"},
        {"2001:db8::33", "mail6.example.org"},       {"192.0.2.50", "additional.example.org"},
        {"192.0.2.51", "authority.example.org"},     {"192.0.2.52", "stranger.example.org"},
        {"192.0.2.53", "alias.example.org"},         {"192.0.2.54", "dot.example.org."},
        {"192.0.2.55", "astray.example.org"},        {"192.0.2.56", "loop.example.org"},
        {"192.0.2.57", "deep16.example.org"},        {"192.0.2.58", "deep17.example.org"},
        {"192.0.2.99", "many.example.org"},          {"192.0.2.98", "tcpfail.example.org"},
    };
    resolver.WaitingTime = 2000;
  }

  // The aliases from name to alias1.example.net, on to aliasN.example.net, TTL 60 each.
  static std::string Aliases(const std::string& name, int n) {
    std::string records = Record(WireName(name), 5, WireName("alias1.example.net"), 60);
    for (int i = 1; i < n; ++i) {
      records += Record(WireName("alias" + std::to_string(i) + ".example.net"), 5,
                        WireName("alias" + std::to_string(i + 1) + ".example.net"), 60);
    }
    return records;
  }

  static std::string Alias(int i) { return WireName("alias" + std::to_string(i) + ".example.net"); }

  // Whole over TCP; cut short over UDP for the names with many addresses.
  static std::string Reply(const std::string& q, bool overTcp) {
    const auto has = [&q](const char* name) { return q.find(WireName(name)) != std::string::npos; };
    const bool aaaa = QuestionType(q) == 28;
    const std::string kQ = Pointer(12);
    std::string reply;
    if (has("many.example.org") || has("tcpfail.example.org"))
      reply = overTcp ? ReplyTo(q, {2}, ARecord(kQ, "192.0.2.1") + ARecord(kQ, "192.0.2.99"))
                      : ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"), 0x8380);
    else if (has("additional.example.org"))
      reply = ReplyTo(q, {0, 0, 1}, ARecord(kQ, "192.0.2.50"));
    else if (has("authority.example.org"))
      reply = ReplyTo(q, {0, 1}, ARecord(kQ, "192.0.2.51"));
    else if (has("stranger.example.org"))
      reply = ReplyTo(q, {1}, ARecord(WireName("other.example.net"), "192.0.2.52"));
    else if (has("alias.example.org"))
      reply = ReplyTo(q, {2}, Aliases("alias.example.org", 1) + ARecord(Alias(1), "192.0.2.53"));
    else if (has("dot.example.org"))
      reply = ReplyTo(q, {1}, ARecord(WireName("DOT.Example.ORG"), "192.0.2.54"));
    else if (has("astray.example.org"))
      reply = ReplyTo(q, {2},
                      Aliases("astray.example.org", 1) +
                          ARecord(WireName("elsewhere.example.net"), "192.0.2.55"));
    else if (has("loop.example.org"))
      reply = ReplyTo(q, {3},
                      Aliases("loop.example.org", 1) +
                          Record(Alias(1), 5, WireName("loop.example.org")) +
                          ARecord(kQ, "192.0.2.56"));
    else if (has("deep16.example.org"))
      reply =
          ReplyTo(q, {17}, Aliases("deep16.example.org", 16) + ARecord(Alias(16), "192.0.2.57"));
    else if (has("deep17.example.org"))
      reply =
          ReplyTo(q, {18}, Aliases("deep17.example.org", 17) + ARecord(Alias(17), "192.0.2.58"));
    else if (has("mail.example.org"))
      reply = aaaa ? ReplyTo(q, {}, "") : ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"));
    else if (has("mail6.example.org"))
      reply = aaaa ? ReplyTo(q, {1}, AAAARecord(kQ, "2001:db8::25", 900)) : ReplyTo(q, {}, "");
    else if (has("p123ab45.dyn.example.net") && aaaa)
      reply = ReplyTo(q, {2}, AAAARecord(kQ, "2001:db8::77") + AAAARecord(kQ, "2001:db8:1::5", 60));
    else if (has("p123ab45.dyn.example.net"))
      reply = ReplyTo(q, {3},
                      ARecord(kQ, "192.0.2.77", 600) + ARecord(kQ, "192.0.2.78", 300) +
                          ARecord(kQ, "203.0.113.5"));
    else if (has("bare.example.org"))  // an address record without an address
      reply = ReplyTo(q, {1}, Record(kQ, aaaa ? 28 : 1, ""));
    else if (has("empty.example.org"))
      reply = ReplyTo(q, {}, "");
    else if (has("servfail.example.org"))
      reply = ReplyTo(q, {}, "", 0x8182);
    else
      reply = ReplyTo(q, {}, "", 0x8183);
    return reply;
  }
  static std::vector<Datagram> Script(const std::string& q) { return {{Reply(q, false)}}; }
  static test::Stream Stream(const std::string& q) {
    return {q.find(WireName("tcpfail.example.org")) == std::string::npos ? Framed(Reply(q, true))
                                                                         : ""};
  }

  ScriptedDnsServer server;
  std::string dnsServer;
  CapturingLog log;
  TS25RJudgment judgment;
  FakeNameService stack;
  TIdDNSResolver resolver{stack};

  TVerdict Check(const std::vector<std::string>& rules, const std::string& address) {
    resolver.Port = server.Port();
    return judgment.CheckByS25R(log, resolver, stack, dnsServer, rules, address);
  }
};

// Both families get every verdict, from a DNS server asked over either family.
TEST(S25RTest, VerdictFollowsLookupsThenRules) {
  using enum TSenderStatus;
  const std::vector<std::string> none;
  const std::vector<std::string> dynamicRule = {"/^nomatch/", "/^p[0-9]+[a-z]+[0-9]+\\./"};
  const std::vector<std::string> mailRule = {"/^nomatch/", "/^mail\\./"}, anyRule = {"/./"};
  const std::vector<std::string> blankFirst = {"/^x/", "", "/example/"};
  const std::optional<uint32_t> noTTL;
  const struct {
    const char* what;
    const char* address;
    std::vector<std::string> rules;
    const char* hostName;
    const char* lookuped;
    TSenderStatus status;
    int rule = 0;
    std::optional<uint32_t> ttl = 3600;
    bool transient = false;
  } cases[] = {
      {"a server failure settles nothing", "198.51.100.10", none, "servfail.example.org", "",
       kForwardLookupFailure, 0, noTTL, true},
      {"no name for the address", "192.0.2.200", none, "", "", kReverseLookupFailure, 0, noTTL},
      {"name error on the forward lookup", "198.51.100.7", none, "nx.example.org", "",
       kForwardLookupFailure, 0, noTTL},
      {"no address records", "198.51.100.9", none, "empty.example.org", "", kForwardLookupFailure,
       0, noTTL},
      {"an address record without data is no address", "198.51.100.8", none, "bare.example.org", "",
       kForwardLookupFailure, 0, noTTL},
      {"paranoid check passes", "192.0.2.1", none, "mail.example.org", "192.0.2.1", kNormal},
      {"sender third among the forward addresses, the smallest TTL kept", "203.0.113.5", none,
       "p123ab45.dyn.example.net", "203.0.113.5", kNormal, 0, 300},
      {"leading zero never equals a forward address", "192.0.2.01", none, "mail.example.org",
       "192.0.2.1", kParanoidCheckFailure},
      {"a rule match overrides the paranoid failure", "192.0.2.01", mailRule, "mail.example.org",
       "192.0.2.1", kRuleMatched, 2},
      {"rule after a passed paranoid check", "203.0.113.5", dynamicRule, "p123ab45.dyn.example.net",
       "203.0.113.5", kRuleMatched, 2, 300},
      {"a blank line takes a rule number", "192.0.2.1", blankFirst, "mail.example.org", "192.0.2.1",
       kRuleMatched, 3},
      {"rules are skipped after a failed lookup", "198.51.100.7", anyRule, "nx.example.org", "",
       kForwardLookupFailure, 0, noTTL},
      {"IPv6: no name", "2001:db8::200", none, "", "", kReverseLookupFailure, 0, noTTL},
      {"IPv6: name error", "2001:db8::7", none, "nx.example.org", "", kForwardLookupFailure, 0,
       noTTL},
      {"IPv6: no AAAA records", "2001:db8::9", none, "empty.example.org", "", kForwardLookupFailure,
       0, noTTL},
      {"IPv6: an AAAA record without data", "2001:db8::8", none, "bare.example.org", "",
       kForwardLookupFailure, 0, noTTL},
      {"IPv6: a name with IPv4 addresses only", "2001:db8::1", none, "mail.example.org", "",
       kForwardLookupFailure, 0, noTTL},
      {"IPv6: paranoid check passes", "2001:db8::25", none, "mail6.example.org", "2001:db8::25",
       kNormal, 0, 900},
      {"IPv6: compared in canonical form", "2001:0DB8:0::0025", none, "mail6.example.org",
       "2001:db8::25", kNormal, 0, 900},
      {"IPv6: sender second among the forward addresses", "2001:db8:1::5", none,
       "p123ab45.dyn.example.net", "2001:db8:1::5", kNormal, 0, 60},
      {"IPv6: paranoid check fails", "2001:db8::33", none, "mail6.example.org", "2001:db8::25",
       kParanoidCheckFailure, 0, 900},
      {"IPv6: rule", "2001:db8:1::5", dynamicRule, "p123ab45.dyn.example.net", "2001:db8:1::5",
       kRuleMatched, 2, 60},
      {"the sender's address only in the additional section", "192.0.2.50", none,
       "additional.example.org", "", kForwardLookupFailure, 0, noTTL},
      {"the sender's address only in the authority section", "192.0.2.51", none,
       "authority.example.org", "", kForwardLookupFailure, 0, noTTL},
      {"the sender's address under an unrelated owner", "192.0.2.52", none, "stranger.example.org",
       "", kForwardLookupFailure, 0, noTTL},
      {"an alias: the target's address, kept as long as the alias", "192.0.2.53", none,
       "alias.example.org", "192.0.2.53", kNormal, 0, 60},
      {"owner in other letter case, name with the root's dot", "192.0.2.54", none,
       "dot.example.org.", "192.0.2.54", kNormal},
      {"an alias to one name, the address for another", "192.0.2.55", none, "astray.example.org",
       "", kForwardLookupFailure, 0, noTTL},
      {"aliases in a loop", "192.0.2.56", none, "loop.example.org", "", kForwardLookupFailure, 0,
       noTTL},
      {"16 aliases are followed", "192.0.2.57", none, "deep16.example.org", "192.0.2.57", kNormal,
       0, 60},
      {"17 aliases are not", "192.0.2.58", none, "deep17.example.org", "", kForwardLookupFailure, 0,
       noTTL},
      {"truncated over UDP, the sender's address among what only TCP brings", "192.0.2.99", none,
       "many.example.org", "192.0.2.99", kNormal},
      {"truncated over UDP, and no answer over TCP: asked again later", "192.0.2.98", none,
       "tcpfail.example.org", "", kForwardLookupFailure, 0, noTTL, true},
  };
  for (const char* dnsServer : {"127.0.0.1", "::1"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " at " + dnsServer);
      Judgment j(dnsServer);
      // Only a name whose forward addresses hold the sender's can be vouched for by name.
      const auto bytes = ParseIPv6(c.address);
      const bool confirmed = (bytes ? IPv6Text(*bytes) : c.address) == c.lookuped;
      EXPECT_EQ(j.Check(c.rules, c.address),
                (TVerdict{c.status, c.rule, c.address, c.hostName, c.lookuped, c.ttl, c.transient,
                          confirmed, std::nullopt}));
      const std::vector<std::string> logged =
          *c.hostName
              ? std::vector<std::string>{std::string("   P    Sender's hostname: ") + c.hostName}
              : std::vector<std::string>{};
      EXPECT_EQ(logged, j.log.Lines());
    }
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

TEST(S25RTest, ForwardLookupAsksTheGivenServerForRecordsOfTheSendersFamily) {
  Judgment j;
  j.resolver.Port = j.server.Port();
  TForwardLookup found =
      j.judgment.HostNameToIPAddresses(j.resolver, "LOCALHOST", "p123ab45.dyn.example.net", qtA);
  EXPECT_EQ((std::vector<std::string>{"192.0.2.77", "192.0.2.78", "203.0.113.5"}), found.Addresses);
  EXPECT_EQ(found.TTL, 300u);
  EXPECT_EQ("LOCALHOST", j.resolver.Host);
  EXPECT_EQ(TQueryType{qtA}, j.resolver.QueryType);
  found =
      j.judgment.HostNameToIPAddresses(j.resolver, "LOCALHOST", "p123ab45.dyn.example.net", qtAAAA);
  EXPECT_EQ((std::vector<std::string>{"2001:db8::77", "2001:db8:1::5"}), found.Addresses);
  EXPECT_EQ(found.TTL, 60u);

  j.resolver.WaitingTime = 100;
  found =
      j.judgment.HostNameToIPAddresses(j.resolver, "no-such-server.test", "mail.example.org", qtA);
  EXPECT_TRUE(found.Addresses.empty());
  EXPECT_EQ(found.TTL, std::nullopt);
}

TEST(S25RTest, RealNameServiceNamesTheLoopbackAddress) {
  EXPECT_FALSE(GStack().AddressToHostName("127.0.0.1").empty());
  // What is no IPv6 address never reaches the resolver.
  for (const char* text : {"2001:db8::zz", "fe80::1%lo", "[::1]"})
    EXPECT_THROW(GStack().AddressToHostName(text), EIdSocketError) << text;
}

// A quad from a header is decimal however it is written; inet_addr's octal would name another
// host.
TEST(S25RTest, ReverseLookupReadsADottedQuadInDecimal) {
  const struct {
    const char* text;
    const char* asked;
  } cases[] = {
      {"192.0.2.10", "192.0.2.10"},
      {"192.0.2.010", "192.0.2.10"},
      {"010.000.002.001", "10.0.2.1"},
      {"999.1.1.1", "255.255.255.255"},
  };
  for (const auto& c : cases) {
    in_addr address{IPv4ForLookup(c.text)};
    EXPECT_STREQ(inet_ntoa(address), c.asked) << c.text;
  }
}

// The judgment keys an IPv6 sender by this text, and compares it with the forward addresses.
TEST(S25RTest, IPv6TextIsOneCanonicalFormForEveryWritingOfAnAddress) {
  const struct {
    const char* text;
    const char* canonical;
  } cases[] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0025", "2001:db8::25"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of two equal runs
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                 // the longer run
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"::ffff:192.0.2.1", "::ffff:c000:201"},
      {"::192.0.2.1", "::c000:201"},
      {"fe80::1%lo", nullptr},
      {"[2001:db8::1]", nullptr},
      {"12:30:45", nullptr},
      {"2001:db8::1::2", nullptr},
      {"1:2:3:4:5:6:7:8:9", nullptr},
      {"0000:0000:0000:0000:0000:0000:0000:0000:", nullptr},  // longer than any address text
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const auto bytes = ParseIPv6(c.text);
    EXPECT_EQ(bytes ? std::optional(IPv6Text(*bytes)) : std::nullopt,
              c.canonical ? std::optional<std::string>(c.canonical) : std::nullopt)
        << c.text;
  }
  // The system's formatter writes RFC 5952 too, apart from its dotted quads.
  std::mt19937 random(14);
  for (int i = 0; i < 20000; ++i) {
    TIPv6Bytes bytes;
    for (size_t g = 0; g < 16; g += 2)
      bytes[g] = bytes[g + 1] = random() % 3 == 0 ? 0 : static_cast<uint8_t>(random() >> 8);
    bytes[0] |= 0x20;
    char system[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, bytes.data(), system, sizeof system);
    ASSERT_EQ(IPv6Text(bytes), system);
  }
}

}  // namespace
}  // namespace quillbox
