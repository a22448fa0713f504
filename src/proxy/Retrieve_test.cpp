#include <gtest/gtest.h>

#include "base/IniFiles.h"
#include "proxy/MessageHeader.h"
#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::CapturingLog;
using test::Message;
using test::ProxyHarness;
using Lines = std::vector<std::string>;

TEST(UnfoldHeaderTest, JoinsContinuationLinesWithOneBlank) {
  struct Case {
    Lines header, unfolded;
  } cases[] = {
      {{"Received: from a", "\tby b", "   (c)  ", "Subject: x"},
       {"Received: from a by b (c)", "Subject: x"}},
      {{" leading blank", "\tjoined", "To: y"}, {" leading blank joined", "To: y"}},
      {{"\tfirst", "Subject: s"}, {"\tfirst", "Subject: s"}},
      {{"A: 1", "B: 2"}, {"A: 1", "B: 2"}},
      {{}, {}},
  };
  for (Case& c : cases) {
    UnfoldHeader(c.header);
    EXPECT_EQ(c.header, c.unfolded);
  }
}

TEST(MessageHeaderTest, HeaderLinesAreFieldsAndContinuationsEvenBetweenLoneCarriageReturns) {
  const struct {
    std::string line;
    bool header;
  } cases[] = {
      {"Subject: x", true},  {"X-A:", true},       {"\tfolded", true},      {" folded", true},
      {"", false},           {":no name", false},  {"two words: x", false}, {"From x@y Tue", false},
      {"caf\xe9: x", false}, {"A: 1\rB: 2", true}, {"A: 1\r folded", true}, {"A: 1\r", false},
      {"A: 1\rbody", false}, {"\r", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsHeaderLine(c.line), c.header) << c.line;
  }
}

const Lines kFour = {"X-Quillbox-Sender-IP-Address: Unextracted",
                     "X-Quillbox-Sender-Hostname: Unresolved",
                     "X-Quillbox-Lookuped-IP-Address: Unresolved", "X-Quillbox-Status: Unknown"};

// Lines with "<4>" where the four lines must stand.
Lines WithFour(Lines lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "<4>") {
      lines.erase(lines.begin() + static_cast<ptrdiff_t>(i));
      lines.insert(lines.begin() + static_cast<ptrdiff_t>(i), kFour.begin(), kFour.end());
    }
  }
  return lines;
}

// Exactly one field of each of Quillbox's names reaches the client, its own; forged ones keep
// every byte but get "Forged-" in their name, wherever a reader may take them for the header.
TEST(MessageHeaderTest, ForgedFieldsAreRenamedAndTheFourLinesGoWhereTheHeaderEnds) {
  const struct {
    const char* what;
    Lines message, delivered;
  } cases[] = {
      {"exact",
       {"Subject: s", "X-Quillbox-Status: Normal", "", "body"},
       {"Subject: s", "X-Forged-Quillbox-Status: Normal", "<4>", "", "body"}},
      {"lower case",
       {"x-quillbox-status: Normal", "", "b"},
       {"x-Forged-quillbox-status: Normal", "<4>", "", "b"}},
      {"folded, and a blank before the colon",
       {"X-QUILLBOX-Status:", "\tNormal", "X-Quillbox-Sender-Hostname : mail", "", "b"},
       {"X-Forged-QUILLBOX-Status:", "\tNormal", "<4>", "X-Forged-Quillbox-Sender-Hostname : mail",
        "", "b"}},
      {"several, and after a lone CR",
       {"X-Quillbox-Sender-IP-Address: 1.2.3.4", "To: a\rX-Quillbox-Status: Normal",
        "X-Quillbox-Anything: x", "", "X-Quillbox-Status: Normal in the body"},
       {"X-Forged-Quillbox-Sender-IP-Address: 1.2.3.4", "To: a\rX-Forged-Quillbox-Status: Normal",
        "X-Forged-Quillbox-Anything: x", "<4>", "", "X-Quillbox-Status: Normal in the body"}},
      {"no empty line: the header ends at the first line that is no field",
       {"Subject: s", "X-Quillbox-Status: Normal", "Hello,", "X-Quillbox-Status: Normal"},
       {"Subject: s", "X-Forged-Quillbox-Status: Normal", "<4>", "Hello,",
        "X-Forged-Quillbox-Status: Normal"}},
      {"no empty line, every line a field",
       {"Subject: s", "To: t"},
       {"Subject: s", "To: t", "<4>"}},
      {"a lone CR that ends the header for some readers, inside a folded field",
       {"Subject: a", " b\r", "X-Quillbox-Status: Normal", "", "b"},
       {"<4>", "Subject: a", " b\r", "X-Forged-Quillbox-Status: Normal", "", "b"}},
      {"nothing but a body",
       {"", "X-Quillbox-Status: Normal"},
       {"<4>", "", "X-Quillbox-Status: Normal"}},
      {"empty", {}, {"<4>"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnnotateMessage(c.message, kFour), WithFour(c.delivered)) << c.what;
  }
}

// The first valid dotted quad wins wherever it stands; only text without one names an IPv6
// sender, as mail servers write one, in its canonical text.
TEST(MessageHeaderTest, SenderIsTheFirstValidDottedQuadElseTheFirstStandaloneIPv6Address) {
  const struct {
    const char* text;
    const char* address;
  } cases[] = {
      {"(mail.example.org [203.0.113.7])", "203.0.113.7"},
      {"[999.1.1.1]", nullptr},
      {"[1.2.3.4444]", nullptr},
      {"256.1.1.1", nullptr},
      {"1.2.3.4.5", nullptr},
      {"1.2.3", nullptr},
      {"0001.2.3.4", nullptr},
      {".1.2.3.4", nullptr},
      {"helo 999.1.1.1 (x [203.0.113.7])", "203.0.113.7"},
      {"at 1.2.3.4.", "1.2.3.4"},
      {"ip198.51.100.2", "198.51.100.2"},
      {"255.255.255.255 0.0.0.0", "255.255.255.255"},
      {"192.0.2.01", "192.0.2.01"},
      // IPv6, as servers write it.
      {"(mail-oi1-x235.example.com [2607:f8b0:4864:20::235])", "2607:f8b0:4864:20::235"},
      {"(mx.example.org [IPv6:2001:db8::25]) by", "2001:db8::25"},
      {"([ipv6:2001:db8::25])", "2001:db8::25"},
      {"(h (2001:db8::25) by x (2001:db8::1))", "2001:db8::25"},
      {"from 2001:db8::25 by mx", "2001:db8::25"},
      {"[2001:0db8:0000:0000:0000:0000:0000:0025]", "2001:db8::25"},
      {"[2001:DB8:0:0:1::ABCD]", "2001:db8::1:0:0:abcd"},
      {"[IPv6:::1]", "::1"},
      {"[2001:db8::25]:25", "2001:db8::25"},
      {"at 2001:db8::25.", "2001:db8::25"},
      // An IPv4-mapped address is that IPv4 address; a quad wins wherever it stands.
      {"[IPv6:::ffff:192.0.2.1]", "192.0.2.1"},
      {"[::FFFF:c000:0201]", "192.0.2.1"},
      {"[2001:db8::192.0.2.1]", "192.0.2.1"},
      {"(x [IPv6:2001:db8::25]) helo 192.0.2.9", "192.0.2.9"},
      // Zone ids are refused; the next address counts.
      {"[fe80::1%eth0]", nullptr},
      {"[fe80::1%25eth0] [IPv6:2001:db8::2]", "2001:db8::2"},
      // Text that only looks like one.
      {"; Tue, 8 Dec 2026 02:00:00 +0000", nullptr},
      {"12:30:45", nullptr},
      {"a :: b [::]", nullptr},
      {"cafe dead:beef ff::ff::1 1:2:3:4:5:6:7:8:9", nullptr},
      {"std::abc x2001:db8::1 host-2001:db8::1 2001:db8::1g 2001:db8::1-a", nullptr},
      {"00:1a:2b:3c:4d:5e", nullptr},
      {"IPv6:", nullptr},
      {"[IPv6:2001:db8:::1]", nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SenderAddress(c.text),
              c.address ? std::optional<std::string>(c.address) : std::nullopt)
        << c.text;
  }
}

// A header as a provider delivers it, newest line first: its mailbox server's line, its
// exchanger's content filter, a hop between its exchangers, the exchanger's line naming the
// sender, and below them a line the sender wrote himself, naming a respectable host. The same
// over IPv6, from a sender whose name holds a dotted quad.
const Lines kForgedHeader = {
    "Received: from mx1.example.ne.jp (mx1.example.ne.jp [192.0.2.10])",
    "\tby pop1.example.ne.jp (Postfix) with ESMTP id 1",
    "Received: from localhost (localhost [127.0.0.1]) by mx1.example.ne.jp (amavis) id 2",
    "Received: from mx2.example.ne.jp (mx2.example.ne.jp [192.0.2.11]) by mx1.example.ne.jp",
    "Received: from helo.example (p1-2.dyn.example.com [198.51.100.23])",
    "\tby mx2.example.ne.jp (Postfix) with ESMTP id 3",
    "Received: from mail.example.org (mail.example.org [203.0.113.7])",
    "\tby mx1.example.ne.jp (Postfix) with ESMTP id 4",
    "Subject: forged"};
const Lines kForgedHeader6 = {
    "Received: from mx1.example.ne.jp (mx1.example.ne.jp [IPv6:2001:db8::10])",
    "\tby pop1.example.ne.jp (Postfix) with ESMTP id 1",
    "Received: from localhost (localhost [IPv6:::1]) by mx1.example.ne.jp (amavis) id 2",
    "Received: from mx2.example.ne.jp (mx2.example.ne.jp [IPv6:2001:db8::11]) by mx1.example.ne.jp",
    "Received: from 192.0.2.9 (dyn-2001-db8-1--23.example.com [IPv6:2001:DB8:1::23])",
    "\tby mx2.example.ne.jp (Postfix) with ESMTP id 3",
    "Received: from mail.example.org (mail.example.org [2001:db8::7])",
    "\tby mx1.example.ne.jp (Postfix) with ESMTP id 4",
    "Subject: forged"};

TEST(MessageHeaderTest, SelectFromTopFindsTheExchangersLineAboveAForgedOne) {
  Lines header = kForgedHeader, header6 = kForgedHeader6;
  UnfoldHeader(header);
  UnfoldHeader(header6);
  const std::string shipped =
      TIniFile(QUILLBOX_EXAMPLES_DIR "/rules.ini").ReadString("S25R", "MatchString", "");
  ASSERT_EQ(TIniFile(QUILLBOX_EXAMPLES_DIR "/rules.ini").ReadString("S25R", "SelectFrom", ""),
            "Top");
  const std::string loose = "/\\[[0-9.]+\\]\\) by mx[0-9]\\.example\\.ne\\.jp/";
  const struct {
    const Lines& header;
    std::string matchString;
    TSelectFrom from;
    const char* address;
  } cases[] = {
      {header, shipped, TSelectFrom::kTop, "198.51.100.23"},
      {header, shipped, TSelectFrom::kBottom, "203.0.113.7"},  // the forgery wins
      {header, loose, TSelectFrom::kBottom, "203.0.113.7"},
      {header, loose, TSelectFrom::kTop, "127.0.0.1"},  // an internal hop the string must exclude
      {header, "/^Received: from none/", TSelectFrom::kTop, nullptr},
      {header, "", TSelectFrom::kTop, nullptr},
      {header6, shipped, TSelectFrom::kTop, "2001:db8:1::23"},
      {header6, shipped, TSelectFrom::kBottom, "2001:db8::7"},
  };
  CapturingLog log;
  for (const auto& c : cases) {
    const auto selected = SelectReceived(c.header, c.matchString, c.from, log);
    const auto address = selected ? SenderAddress(*selected) : std::nullopt;
    EXPECT_EQ(address, c.address ? std::optional<std::string>(c.address) : std::nullopt)
        << c.matchString << (c.from == TSelectFrom::kTop ? " Top" : " Bottom");
  }
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(ParseSelectFrom("tOP"), TSelectFrom::kTop);
  EXPECT_EQ(ParseSelectFrom("bottom"), TSelectFrom::kBottom);
  EXPECT_EQ(ParseSelectFrom("Lowest"), std::nullopt);
}

TEST(MessageHeaderTest, MatchStringTheMatcherGivesUpOnSelectsNothingAndIsLogged) {
  CapturingLog log;
  const Lines header = {"Received: from " + std::string(5000, 'a') + "!",
                        "Received: from x [1.2.3.4]"};
  const auto selected =
      SelectReceived(header, "/^Received: from (a+)+$|x/", TSelectFrom::kTop, log);
  EXPECT_EQ(selected, "x");
  EXPECT_EQ(log.Lines(), Lines{"   P    Match string /^Received: from (a+)+$|x/ exceeded the "
                               "matcher's limit (match limit exceeded) and counts as no match"});
}

// Selects the bracketed part "(name [address])" of a Received: line, for either family.
const char* kRules =
    "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\(\\S* ?\\[(IPv6:)?[0-9a-f:.]+\\]\\)/i\n";

Lines Annotation(const std::string& ip, const std::string& host, const std::string& lookuped,
                 const std::string& status) {
  return {"X-Quillbox-Sender-IP-Address: " + ip, "X-Quillbox-Sender-Hostname: " + host,
          "X-Quillbox-Lookuped-IP-Address: " + lookuped, "X-Quillbox-Status: " + status};
}

Lines Received(const std::string& from) {
  return {"Received: from " + from + " by mx.example.net (Postfix)",
          "\twith ESMTP id 1; Tue, 8 Dec 2026 02:00:00 +0000", "Subject: test"};
}

// A proxy whose lookups know a few senders.
struct Senders : ProxyHarness {
  Senders() {
    names.nameOf = {
        {"203.0.113.7", "mail.example.org"},   {"198.51.100.2", "dyn-198-51-100-2.example.com"},
        {"192.0.2.33", "cheat.example.net"},   {"192.0.2.44", "noaddress.example.net"},
        {"2001:db8::7", "mail.example.org"},   {"2001:db8::2", "dyn-2001-db8--2.example.com"},
        {"2001:db8::33", "cheat.example.net"}, {"2001:db8::44", "noaddress.example.net"}};
    dns.SetAddresses({{"mail.example.org", {"203.0.113.7", "2001:db8::7"}},
                      {"dyn-198-51-100-2.example.com", {"198.51.100.2"}},
                      {"dyn-2001-db8--2.example.com", {"2001:db8::2"}},
                      {"cheat.example.net", {"192.0.2.1", "192.0.2.2", "2001:db8::1"}}});
    proxy.S25RRules = {"/^mail\\.example\\.com$/", "/^dyn-/"};
  }
  // A multi-line command through the client: the lines received, "-ERR..." when refused.
  Lines Answer(test::Pop3Client& client, const std::string& command) {
    const std::string reply = client.Command(command);
    return reply.starts_with("+OK") ? client.ReadUntilDot() : Lines{reply};
  }
  Lines Retrieve(test::Pop3Client& client, int n) {
    return Answer(client, "RETR " + std::to_string(n));
  }
};

const Lines kNormal = Annotation("203.0.113.7", "mail.example.org", "203.0.113.7", "Normal");
const Lines kRule2 =
    Annotation("198.51.100.2", "dyn-198-51-100-2.example.com", "198.51.100.2", "S25R Rule 2");
const Lines kNormal6 = Annotation("2001:db8::7", "mail.example.org", "2001:db8::7", "Normal");

// Each row is one message in the mailbox: what the client must receive for it, four lines in
// place, and no other change; the same with the look-ahead (pipelined or not) as without.
TEST(RetrieveTest, AddsTheVerdictOnTheSelectedSenderBeforeTheHeadersEnd) {
  struct Case {
    const char* what;
    Lines header, body, annotation;
  } cases[] = {
      {"normal",
       Received("a.example.org (mail.example.org [203.0.113.7])"),
       {"hi", "", "p2"},
       kNormal},
      {"rule 2", Received("x (dyn [198.51.100.2])"), {"b"}, kRule2},
      {"paranoid",
       Received("x (cheat [192.0.2.33])"),
       {"b"},
       Annotation("192.0.2.33", "cheat.example.net", "192.0.2.1", "Paranoid check failure")},
      {"no forward",
       Received("x (n [192.0.2.44])"),
       {"b"},
       Annotation("192.0.2.44", "noaddress.example.net", "", "Forward lookup failure")},
      {"no reverse",
       Received("x (unknown [198.51.100.99])"),
       {"b"},
       Annotation("198.51.100.99", "", "", "Reverse lookup failure")},
      {"lowest of two, quad after another",
       {"Received: from relay (relay [10.9.9.9]) by mx", "Received: from 10.1.1.1 (h",
        "  [203.0.113.7])", "\tby relay"},
       {"b"},
       kNormal},
      {"no dotted quad in the selected part",
       {"Received: from x (y [1.2.3]) by 4.5.6.7"},
       {"b"},
       kFour},
      {"a quad that is none: no lookup", {"Received: from x (y [999.1.1.1])"}, {"b"}, kFour},
      {"no Received line", {"X-Received: from x (y [203.0.113.7])"}, {"b"}, kFour},
      {"IPv6 normal", Received("a (mail.example.org [IPv6:2001:DB8:0::7])"), {"b"}, kNormal6},
      {"IPv6 rule 2",
       Received("x (dyn [2001:db8::2])"),
       {"b"},
       Annotation("2001:db8::2", "dyn-2001-db8--2.example.com", "2001:db8::2", "S25R Rule 2")},
      {"IPv6 paranoid",
       Received("x (cheat [IPv6:2001:db8::33])"),
       {"b"},
       Annotation("2001:db8::33", "cheat.example.net", "2001:db8::1", "Paranoid check failure")},
      {"IPv6 no forward",
       Received("x (n [IPv6:2001:db8::44])"),
       {"b"},
       Annotation("2001:db8::44", "noaddress.example.net", "", "Forward lookup failure")},
      {"IPv6 no reverse",
       Received("x ([IPv6:2001:db8::99])"),
       {"b"},
       Annotation("2001:db8::99", "", "", "Reverse lookup failure")},
      {"an IPv4 address elsewhere in the line",
       {"Received: from 192.0.2.9 (mail [IPv6:2001:db8::7]) by mx"},
       {"b"},
       kNormal6},
      {"IPv4-mapped", Received("x (y [IPv6:::ffff:203.0.113.7])"), {"b"}, kNormal},
  };
  const std::pair<const char*, bool> variants[] = {{"0", true}, {"32", true}, {"32", false}};
  for (const auto& [depth, pipelining] : variants) {
    SCOPED_TRACE(std::string("LookAhead=") + depth + (pipelining ? "" : " without PIPELINING"));
    Senders h;
    if (!pipelining)
      h.upstream.capabilities = {"TOP"};
    for (const Case& c : cases) {
      h.upstream.messages.push_back(Message(c.header, c.body));
    }
    h.Start();
    auto client = h.LoggedIn(std::string(kRules) + "[QuillboxRules]\nLookAhead=" + depth + "\n");
    int n = 0;
    for (const Case& c : cases) {
      Lines expected = c.header;
      expected.insert(expected.end(), c.annotation.begin(), c.annotation.end());
      expected.emplace_back();
      expected.insert(expected.end(), c.body.begin(), c.body.end());
      EXPECT_EQ(h.Retrieve(*client, ++n), expected) << c.what;
    }
    EXPECT_TRUE(h.log.WaitFor("   P    Sender's hostname: mail.example.org"));
  }
}

// The exact lines a client receives for a message carrying forged verdict lines, with the
// rule file choosing either end of the header.
TEST(RetrieveTest, ForgedVerdictLinesNeverReachTheClientAsQuillboxsOwn) {
  Senders h;
  const Lines header = {"Received: from x (mail.example.org [203.0.113.7]) by mx.example.net",
                        "Received: from y (dyn [198.51.100.2]) by mx.example.net",
                        "x-quillbox-status: Normal", "X-Quillbox-Status:", " Normal"};
  h.upstream.messages = {Message(header, {"X-Quillbox-Status: Normal"}),
                         {"Subject: no empty line", "X-Quillbox-Status: Normal"}};
  h.Start();
  const struct {
    const char* selectFrom;
    Lines annotation;
  } cases[] = {{"Bottom", kRule2}, {"Top", kNormal}, {"", kRule2}};
  for (const auto& c : cases) {
    auto client = h.LoggedIn(std::string(kRules) + "SelectFrom=" + c.selectFrom + "\n");
    Lines expected = {header[0], header[1], "x-Forged-quillbox-status: Normal",
                      "X-Forged-Quillbox-Status:", " Normal"};
    expected.insert(expected.end(), c.annotation.begin(), c.annotation.end());
    expected.insert(expected.end(), {"", "X-Quillbox-Status: Normal"});
    EXPECT_EQ(h.Retrieve(*client, 1), expected) << c.selectFrom;
    EXPECT_EQ(h.Retrieve(*client, 2),
              WithFour({"Subject: no empty line", "X-Forged-Quillbox-Status: Normal", "<4>"}));
  }
}

// The verdict belongs to the message delivered: from the RETR answer's own header when TOP
// gave another one or none at all, whether the TOP came just before (message 1) or from the
// look-ahead (message 2, fetched while the client waited).
TEST(RetrieveTest, VerdictComesFromTheRetrievedHeaderWhenThePrefetchDiffersOrFails) {
  const std::string otherHeader =
      "+OK\r\nReceived: from x (mail.example.org [203.0.113.7]) by mx\r\n\r\n.\r\n";
  const struct {
    const char* what;
    std::string topAnswer;
    const char* logged;
    long top2;  // TOPs for message 2: after a refusal the look-ahead stops
  } cases[] = {
      {"TOP gives another header", otherHeader,
       "   P    The header of RETR 1 is not the one TOP gave: judged again", 1},
      {"no TOP at all", "-ERR Unknown command.\r\n", "   P<-S -ERR Unknown command.", 2},
  };
  for (const auto& c : cases) {
    Senders h;
    h.upstream.messages = {Message(Received("x (dyn [198.51.100.2])"), {"b"}),
                           Message(Received("x (dyn [198.51.100.2])"), {"b"})};
    h.upstream.script = [&c](const std::string& command) {
      return command.starts_with("TOP ") ? c.topAnswer : std::string();
    };
    h.Start();
    auto client = h.LoggedIn(kRules);
    Lines expected = Received("x (dyn [198.51.100.2])");
    expected.insert(expected.end(), kRule2.begin(), kRule2.end());
    expected.insert(expected.end(), {"", "b"});
    EXPECT_EQ(h.Retrieve(*client, 1), expected) << c.what;
    EXPECT_TRUE(h.log.WaitFor(c.logged)) << c.what;
    const auto top2 = [&] {
      const Lines commands = h.upstream.Commands();
      return std::count(commands.begin(), commands.end(), "TOP 2 20");
    };
    ASSERT_TRUE(test::WaitFor([&] { return top2() == 1; }));
    EXPECT_EQ(h.Retrieve(*client, 2), expected) << c.what;
    std::string logged = c.logged;
    if (const size_t at = logged.find("RETR 1"); at != std::string::npos)
      logged.replace(at, 6, "RETR 2");
    EXPECT_TRUE(h.log.WaitFor(logged)) << c.what;
    EXPECT_EQ(top2(), c.top2) << c.what;
    EXPECT_EQ(h.Retrieve(*client, 7), Lines{"-ERR There's no message 7."}) << c.what;
  }
}

// fetchmail retrieves with "TOP n 99999999" unless told "fetchall", so a TOP answer is judged on
// its own header (no pre-fetch) and delivered as RETR's is, unless the rule file asks for the
// answer as the real server gave it.
TEST(RetrieveTest, TopAnswersCarryTheVerdictUnlessTheRuleFileSaysAnnotateTop0) {
  Senders h;
  const Lines header = {"Received: from y (dyn [198.51.100.2]) by mx.example.net",
                        "x-quillbox-status: Normal"};
  const Lines forged = {header[0], "x-Forged-quillbox-status: Normal"};
  h.upstream.messages = {Message(header, {".b1", "b2"}), {"Subject: no empty line"}};
  h.Start();
  Lines annotated = forged;
  annotated.insert(annotated.end(), kRule2.begin(), kRule2.end());
  annotated.emplace_back();
  const auto with = [](Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
  };
  const struct {
    const char* annotateTop;
    const char* command;
    Lines received;
  } cases[] = {
      {nullptr, "TOP 1 0", annotated},
      {"1", "TOP 1 1", with(annotated, {"..b1"})},
      {"1", "TOP 1 99999999", with(annotated, {"..b1", "b2"})},
      {"", "TOP 2 0", WithFour({"Subject: no empty line", "<4>"})},
      {"1", "TOP 3 0", {"-ERR There's no message 3."}},
      {"0", "TOP 1 99999999", with(header, {"", "..b1", "b2"})},
      {"0", "TOP 2 5", {"Subject: no empty line"}},
  };
  for (const auto& c : cases) {
    // Without the look-ahead, whose TOPs would follow the client's in the server's commands.
    std::string rules = std::string(kRules) + "[QuillboxRules]\nLookAhead=0\n";
    if (c.annotateTop)
      rules += std::string("AnnotateTop=") + c.annotateTop + "\n";
    auto client = h.LoggedIn(rules);
    EXPECT_EQ(h.Answer(*client, c.command), c.received) << c.annotateTop << " " << c.command;
    const Lines commands = h.upstream.Commands();
    EXPECT_EQ(commands.back(), c.command);
    EXPECT_NE(commands.end()[-2].substr(0, 4), "TOP ") << "pre-fetched for " << c.command;
  }
}

TEST(RetrieveTest, PrefetchesMaxLinesAndRelaysStuffedAndLongLinesIntact) {
  ProxyHarness h;
  const std::string longLine(100000, 'x');
  h.upstream.messages = {Message({"Subject: s"}, {".", "..x", ".y", longLine, "", "tail"})};
  h.Start();
  auto client = h.LoggedIn("[quillboxrules]\nmaxlines = 0\n");
  ASSERT_EQ(client->Command("RETR 1").substr(0, 3), "+OK");
  const Lines expected =
      WithFour({"Subject: s", "<4>", "", "..", "...x", "..y", longLine, "", "tail"});
  EXPECT_EQ(client->ReadUntilDot(), expected);
  EXPECT_EQ(h.upstream.Commands()[3], "TOP 1 0");
  ASSERT_EQ(client->Command("TOP 1 4").substr(0, 3), "+OK");
  EXPECT_EQ(client->ReadUntilDot(),
            WithFour({"Subject: s", "<4>", "", "..", "...x", "..y", longLine}));
}

TEST(RetrieveTest, UpstreamDroppingMidMessageNeverPassesATruncatedMessageAsWhole) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Subject: s"}, {"b"})};
  h.upstream.script = [](const std::string& command) {
    return command == "RETR 1" ? "+OK 20 octets\r\nSubject: s\r\n\r\nhalf a bo" +
                                     std::string(test::ScriptedUpstream::kClose)
                               : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  // The message was on its way when the real server went: the client must see an answer that
  // never ends, not one that ends in "." as if the message were complete.
  EXPECT_EQ(client->Command("RETR 1"), "+OK 20 octets");
  std::string line;
  do {
    line = client->ReadLine();
  } while (line != "<closed>" && line != "<timeout>" && line != ".");
  EXPECT_EQ(line, "<closed>");
  EXPECT_TRUE(h.log.WaitFor("   P    An exeption is occured."));
}

TEST(RetrieveTest, ListingBrokenOffAnswersACleanErrAndTheNextCommandToo) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Subject: s"}, {"b"})};
  h.upstream.script = [](const std::string& command) {
    return command == "LIST"
               ? "+OK 2 messages\r\n1 120\r\n" + std::string(test::ScriptedUpstream::kClose)
               : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("LIST"), "-ERR Connection Closed Gracefully.");
  EXPECT_EQ(client->Command("STAT").substr(0, 4), "-ERR");
  EXPECT_EQ(client->Command("NOOP"), "+OK");
  EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
}

TEST(RetrieveTest, MatchStringTheMatcherRejectsEndsTheCommandOnly) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Received: from x"}, {"b"})};
  h.Start();
  auto client = h.LoggedIn("[S25R]\nMatchString=/(unclosed/\n");
  EXPECT_EQ(client->Command("RETR 1").substr(0, 5), "-ERR ");
  EXPECT_EQ(client->Command("LIST 1").substr(0, 3), "+OK");
}

}  // namespace
}  // namespace quillbox
