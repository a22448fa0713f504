#include "judge/ReceivedLine.h"
#include "judge/SenderAddress.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/MessageAnnotation.h"

#include <gtest/gtest.h>

#include "base/IniFiles.h"
#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::CapturingLog;
using test::kFour;
using test::WithFour;
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
      {"... [..]", nullptr},
      {"helo 999.1.1.1 (x [203.0.113.7])", "203.0.113.7"},
      {"at 1.2.3.4.", "1.2.3.4"},
      {"ip198.51.100.2", "198.51.100.2"},
      {"255.255.255.255 0.0.0.0", "255.255.255.255"},
      // Zero-padded parts are decimal, and the address is taken in its one canonical form: the
      // padded text never matched the lookups' answers.
      {"(x [198.051.100.002])", "198.51.100.2"},
      {"192.0.2.01", "192.0.2.1"},
      {"010.000.000.009", "10.0.0.9"},
      {"000.000.000.000", "0.0.0.0"},
      {"0377.1.1.1 1.2.3.0255 [192.0.2.7]", "192.0.2.7"},
      {"[IPv6:::ffff:192.000.002.001]", "192.0.2.1"},
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
  TBRegExp matcher;
  for (const auto& c : cases) {
    const auto selected = SelectReceived(c.header, c.matchString, c.from, matcher, log);
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
  TBRegExp matcher;
  const Lines header = {"Received: from " + std::string(5000, 'a') + "!",
                        "Received: from x [1.2.3.4]"};
  const auto selected =
      SelectReceived(header, "/^Received: from (a+)+$|x/", TSelectFrom::kTop, matcher, log);
  EXPECT_EQ(selected, "x");
  EXPECT_EQ(log.Lines(), Lines{"   P    Match string /^Received: from (a+)+$|x/ exceeded the "
                               "matcher's limit (match limit exceeded) and counts as no match"});
}

}  // namespace
}  // namespace quillbox
