#include "proxy/Retrieve.h"

#include <gtest/gtest.h>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

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

TEST(StatusTextTest, NamesEveryJudgment) {
  EXPECT_EQ(StatusText(0), "Normal");
  EXPECT_EQ(StatusText(3), "S25R Rule 3");
  EXPECT_EQ(StatusText(-1), "Reverse lookup failure");
  EXPECT_EQ(StatusText(-2), "Forward lookup failure");
  EXPECT_EQ(StatusText(-3), "Paranoid check failure");
}

// Selects the bracketed part "(name [address])" of a Received: line.
const char* kRules = "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\(\\S* ?\\[[0-9.]+\\]\\)/\n";

Lines Annotation(const std::string& ip, const std::string& host, const std::string& lookuped,
                 const std::string& status) {
  return {"X-Quillbox-Sender-IP-Address: " + ip, "X-Quillbox-Sender-Hostname: " + host,
          "X-Quillbox-Lookuped-IP-Address: " + lookuped, "X-Quillbox-Status: " + status};
}

Lines Received(const std::string& from) {
  return {"Received: from " + from + " by mx.example.net (Postfix)",
          "\twith ESMTP id 1; Tue, 8 Dec 2026 02:00:00 +0000", "Subject: test"};
}

// Each row is one message in the mailbox: what the client must receive for it, four lines in
// place, and no other change.
TEST(RetrieveTest, AddsTheVerdictOnTheSelectedSenderBeforeTheHeadersEnd) {
  ProxyHarness h;
  h.names.nameOf = {{"203.0.113.7", "mail.example.org"},
                    {"198.51.100.2", "dyn-198-51-100-2.example.com"},
                    {"192.0.2.33", "cheat.example.net"},
                    {"192.0.2.44", "noaddress.example.net"}};
  h.dns.SetAddresses({{"mail.example.org", {"203.0.113.7"}},
                      {"dyn-198-51-100-2.example.com", {"198.51.100.2"}},
                      {"cheat.example.net", {"192.0.2.1", "192.0.2.2"}}});
  h.proxy.S25RRules = {"/^mail\\.example\\.com$/", "/^dyn-/"};
  struct Case {
    const char* what;
    Lines header, body, annotation;
  } cases[] = {
      {"normal",
       Received("a.example.org (mail.example.org [203.0.113.7])"),
       {"hi", "", "p2"},
       Annotation("203.0.113.7", "mail.example.org", "203.0.113.7", "Normal")},
      {"rule 2",
       Received("x (dyn [198.51.100.2])"),
       {"b"},
       Annotation("198.51.100.2", "dyn-198-51-100-2.example.com", "198.51.100.2", "S25R Rule 2")},
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
       Annotation("203.0.113.7", "mail.example.org", "203.0.113.7", "Normal")},
      {"no dotted quad in the selected part",
       {"Received: from x (y [1.2.3]) by 4.5.6.7"},
       {"b"},
       Annotation("Unextracted", "Unresolved", "Unresolved", "Unknown")},
      {"no Received line",
       {"X-Received: from x (y [203.0.113.7])"},
       {"b"},
       Annotation("Unextracted", "Unresolved", "Unresolved", "Unknown")},
  };
  for (const Case& c : cases) {
    h.upstream.messages.push_back(Message(c.header, c.body));
  }
  h.upstream.messages.push_back({"Subject: no blank line", "Received: from x (y [1.2.3.4])"});
  h.Start();
  auto client = h.LoggedIn(kRules);
  int n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(client->Command("RETR " + std::to_string(++n)).substr(0, 3), "+OK") << c.what;
    Lines expected = c.header;
    expected.insert(expected.end(), c.annotation.begin(), c.annotation.end());
    expected.emplace_back();
    expected.insert(expected.end(), c.body.begin(), c.body.end());
    EXPECT_EQ(client->ReadUntilDot(), expected) << c.what;
  }
  EXPECT_EQ(client->Command("RETR 9").substr(0, 3), "+OK");
  EXPECT_EQ(client->ReadUntilDot(), h.upstream.messages.back());
  EXPECT_TRUE(h.log.WaitFor("   P    Sender's hostname: mail.example.org"));
}

TEST(RetrieveTest, PrefetchesMaxLinesAndRelaysStuffedAndLongLinesIntact) {
  ProxyHarness h;
  const std::string longLine(100000, 'x');
  h.upstream.messages = {Message({"Subject: s"}, {".", "..x", ".y", longLine, "", "tail"})};
  h.Start();
  auto client = h.LoggedIn("[quillboxrules]\nmaxlines = 0\n");
  ASSERT_EQ(client->Command("RETR 1").substr(0, 3), "+OK");
  const Lines expected = {"Subject: s",
                          "X-Quillbox-Sender-IP-Address: Unextracted",
                          "X-Quillbox-Sender-Hostname: Unresolved",
                          "X-Quillbox-Lookuped-IP-Address: Unresolved",
                          "X-Quillbox-Status: Unknown",
                          "",
                          "..",
                          "...x",
                          "..y",
                          longLine,
                          "",
                          "tail"};
  EXPECT_EQ(client->ReadUntilDot(), expected);
  EXPECT_EQ(h.upstream.Commands()[3], "TOP 1 0");
  ASSERT_EQ(client->Command("TOP 1 4").substr(0, 3), "+OK");
  EXPECT_EQ(client->ReadUntilDot(), Lines({"Subject: s", "", "..", "...x", "..y", longLine}));
}

TEST(RetrieveTest, RefusedPrefetchSendsNoRetrieval) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Subject: s"}, {"b"})};
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("RETR 7"), "-ERR There's no message 7.");
  EXPECT_TRUE(h.log.WaitFor("C<-P    -ERR There's no message 7."));
  for (const std::string& command : h.upstream.Commands()) {
    EXPECT_FALSE(command.starts_with("RETR")) << command;
  }
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
