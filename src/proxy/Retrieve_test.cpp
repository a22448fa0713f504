#include <gtest/gtest.h>

#include "proxy/HistoryRecord.h"
#include "proxy/ProxyHarness.h"
#include "support/RecordingHistory.h"

namespace quillbox {
namespace {

using test::kFour;
using test::Message;
using test::ProxyHarness;
using test::WithFour;
using Lines = std::vector<std::string>;

// Selects the bracketed part "(name [address])" of a Received: line, for either family.
const char* kRules =
    "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\(\\S* ?\\[(IPv6:)?[0-9a-f:.]+\\]\\)/i\n";

Lines Annotation(const std::string& ip, const std::string& host, const std::string& lookuped,
                 const std::string& status) {
  return {"X-Quillbox-Sender-IP-Address: " + ip, "X-Quillbox-Sender-Hostname: " + host,
          "X-Quillbox-Lookuped-IP-Address: " + lookuped, "X-Quillbox-Status: " + status};
}

// A message as the client must receive it: its header, the four lines, the body.
Lines Delivered(Lines header, const Lines& annotation, const Lines& body) {
  header.insert(header.end(), annotation.begin(), annotation.end());
  header.emplace_back();
  header.insert(header.end(), body.begin(), body.end());
  return header;
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
    proxy.JudgeFiles.Use({"/^mail\\.example\\.com$/", "/^dyn-/"});
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
      EXPECT_EQ(h.Retrieve(*client, ++n), Delivered(c.header, c.annotation, c.body)) << c.what;
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
    const Lines forged = {header[0], header[1], "x-Forged-quillbox-status: Normal",
                          "X-Forged-Quillbox-Status:", " Normal"};
    EXPECT_EQ(h.Retrieve(*client, 1),
              Delivered(forged, c.annotation, {"X-Quillbox-Status: Normal"}))
        << c.selectFrom;
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
    const Lines expected = Delivered(Received("x (dyn [198.51.100.2])"), kRule2, {"b"});
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
  const auto annotated = [&forged](const Lines& body) { return Delivered(forged, kRule2, body); };
  const struct {
    const char* annotateTop;
    const char* command;
    Lines received;
  } cases[] = {
      {nullptr, "TOP 1 0", annotated({})},
      {"1", "TOP 1 1", annotated({"..b1"})},
      {"1", "TOP 1 99999999", annotated({"..b1", "b2"})},
      {"", "TOP 2 0", WithFour({"Subject: no empty line", "<4>"})},
      {"1", "TOP 3 0", {"-ERR There's no message 3."}},
      {"0", "TOP 1 99999999", {header[0], header[1], "", "..b1", "b2"}},
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

// What has come of a message goes on while the real server pauses: a client must never wait for
// bytes that the proxy holds back to fill a chunk (a slow reader would wait at every chunk).
TEST(RetrieveTest, WhatHasComeOfTheMessageGoesOnWhileTheRealServerPauses) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Subject: s"}, {"b"})};
  h.upstream.script = [](const std::string& command) {
    return command == "RETR 1" ? "+OK 40 octets\r\nSubject: s\r\n\r\nthe first part\r\n"
                               : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("RETR 1"), "+OK 40 octets");
  Lines received;
  while (received.size() < 7)
    received.push_back(client->ReadLine());
  EXPECT_EQ(received, WithFour({"Subject: s", "<4>", "", "the first part"}));
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
  EXPECT_EQ(client->Command("STAT"),
            "-ERR The connection to 127.0.0.1:" + std::to_string(h.upstream.Port()) +
                " was closed after an earlier failure.");
  EXPECT_EQ(client->Command("NOOP"), "+OK");
  EXPECT_EQ(client->Command("QUIT").substr(0, 5), "-ERR ");
}

TEST(RetrieveTest, MatchStringTheMatcherRejectsEndsTheCommandOnly) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Received: from x"}, {"b"})};
  h.Start();
  auto client = h.LoggedIn("[S25R]\nMatchString=/(unclosed/\n");
  EXPECT_EQ(client->Command("RETR 1").substr(0, 5), "-ERR ");
  EXPECT_EQ(client->Command("LIST 1").substr(0, 3), "+OK");
}

// One row for each message judged for the client, RETR or annotated TOP, with the header's
// fields as they stand, the verdict and the bytes delivered; a TOP relayed as it came has none.
TEST(RetrieveTest, EveryMessageJudgedForTheClientBecomesOneHistoryRow) {
  Senders h;
  test::RecordingHistory history;
  h.proxy.History = &history;
  const Lines header = {"Received: from y (dyn [198.51.100.2]) by mx.example.net",
                        "Subject: =?UTF-8?B?w6k=?=",
                        "from: A <a@example.org>",
                        "Message-ID:",
                        " <m1@example.org>",
                        "Date: Tue, 8 Dec 2026"};
  h.upstream.messages = {Message(header, {"body"}),
                         Message(Received("x (mail [203.0.113.7])"), {"b"})};
  h.Start();
  const std::string rules = std::string(kRules) + "[QuillboxRules]\nLookAhead=0\n";
  {
    auto client = h.LoggedIn(rules);
    const Lines delivered = h.Retrieve(*client, 1);
    h.Answer(*client, "TOP 2 0");
    h.Answer(*client, "LIST");
    size_t bytes = 0;
    for (const std::string& line : delivered)
      bytes += line.size() + 2;
    const auto rows = history.Rows(2);
    ASSERT_EQ(rows.size(), 2u);
    const THistoryRow& r = rows[0];
    EXPECT_EQ(r.Account, "alice@127.0.0.1:" + std::to_string(h.upstream.Port()));
    EXPECT_EQ(std::tie(r.Command, r.Number, r.Subject, r.From, r.MessageId, r.Date),
              std::make_tuple("RETR", 1, "=?UTF-8?B?w6k=?=", "A <a@example.org>",
                              "<m1@example.org>", "Tue, 8 Dec 2026"));
    EXPECT_EQ(std::tie(r.Address, r.HostName, r.LookedUpAddress, r.Status, r.Rule),
              std::make_tuple("198.51.100.2", "dyn-198-51-100-2.example.com", "198.51.100.2",
                              "S25R Rule 2", 2));
    EXPECT_EQ(r.Size, static_cast<int64_t>(bytes));
    EXPECT_FALSE(r.Cached);
    EXPECT_EQ(std::tie(rows[1].Command, rows[1].Number, rows[1].Status, rows[1].Subject),
              std::make_tuple("TOP", 2, "Normal", "test"));
  }
  // A later session takes the verdict kept; a TOP relayed as it came is no judgment.
  auto client = h.LoggedIn(rules + "AnnotateTop=0\n");
  h.Retrieve(*client, 1);
  h.Answer(*client, "TOP 2 0");
  h.Retrieve(*client, 2);
  const auto rows = history.Rows(4);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(rows[2].Cached);
  EXPECT_EQ(std::tie(rows[3].Command, rows[3].Number), std::make_tuple("RETR", 2));
}

}  // namespace
}  // namespace quillbox
