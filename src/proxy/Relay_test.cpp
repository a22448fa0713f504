#include <gtest/gtest.h>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Message;
using test::ProxyHarness;
using test::ScriptedUpstream;
using Lines = std::vector<std::string>;

// Each row: a client command, everything the client receives for it, and the command the real
// server receives. TOP answers are relayed as they come (AnnotateTop=0).
TEST(RelayTest, EachCommandReachesTheRealServerAndItsAnswerTheClient) {
  ProxyHarness h;
  h.upstream.messages = {Message({"Subject: one"}, {".", "b"}), Message({"Subject: two"}, {})};
  h.Start();
  auto client = h.LoggedIn("[QuillboxRules]\nAnnotateTop=0\n");
  struct Case {
    std::string command;
    Lines received;
    std::string upstream;
  } cases[] = {
      {"STAT", {"+OK 2 38"}, "STAT"},
      {"LIST", {"+OK 2 messages:", "1 22", "2 16", "."}, "LIST"},
      {"LIST 2", {"+OK 2 16"}, "LIST 2"},
      {"LIST 0", {"-ERR There's no message 0."}, "LIST 0"},
      {"LIST 3", {"-ERR There's no message 3."}, "LIST 3"},
      {"LIST 2 3", {"+OK 2 messages:", "1 22", "2 16", "."}, "LIST"},
      {"UIDL", {"+OK 2 messages:", "1 uid1", "2 uid2", "."}, "UIDL"},
      {"UIDL 1", {"+OK 1 uid1"}, "UIDL 1"},
      {"TOP 1 0", {"+OK 22 octets", "Subject: one", "", "."}, "TOP 1 0"},
      {"TOP 1 1", {"+OK 22 octets", "Subject: one", "", "..", "."}, "TOP 1 1"},
      {"DELE 2", {"+OK Marked to be deleted."}, "DELE 2"},
      {"DELE 9", {"-ERR There's no message 9."}, "DELE 9"},
      {"RSET", {"+OK"}, "RSET"},
  };
  for (const Case& c : cases) {
    Lines received = {client->Command(c.command)};
    if (c.received.back() == ".") {
      for (const std::string& line : client->ReadUntilDot()) {
        received.push_back(line);
      }
      received.push_back(".");
    }
    EXPECT_EQ(received, c.received) << c.command;
    EXPECT_EQ(h.upstream.Commands().back(), c.upstream) << c.command;
  }
  EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
  EXPECT_TRUE(client->Closed());
  EXPECT_EQ(h.upstream.Commands().back(), "QUIT");
}

TEST(RelayTest, LogsBothDirectionsOfAListAndAStat) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command == "STAT" ? std::string("+OK  320\r\n") : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("LIST"), "+OK 0 messages:");
  EXPECT_EQ(client->ReadUntilDot(), Lines());
  EXPECT_EQ(client->Command("LIST 4"), "-ERR There's no message 4.");
  EXPECT_EQ(client->Command("STAT"), "+OK 0 320");
  EXPECT_EQ(h.log.Since("C->P    LIST"),
            Lines({"C->P    LIST", "   P->S LIST", "   C<-S +OK 0 messages:",
                   "C<-P    +OK 0 messages:", "C->P    LIST 4", "   P->S LIST 4",
                   "   C<-S -ERR There's no message 4.", "C<-P    -ERR There's no message 4.",
                   "C->P    STAT", "   P->S STAT", "   P<-S +OK  320", "C<-P    +OK 0 320"}));
}

TEST(RelayTest, CapaMergesTheRealServersCapabilitiesAfterLogin) {
  ProxyHarness h;
  // The real server's STLS is about Quillbox's link to it: the client never sees it.
  h.upstream.capabilities.push_back("STLS");
  h.Start();
  test::Pop3Client before(h.port);
  before.ReadLine();
  EXPECT_EQ(before.Command("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(before.ReadUntilDot(), Lines({"TOP", "UIDL", "USER"}));
  EXPECT_EQ(before.Command("QUIT"), "+OK Good-bye from the Quillbox");
  EXPECT_TRUE(h.upstream.Commands().empty());

  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(client->ReadUntilDot(), Lines({"TOP", "UIDL", "USER", "SASL PLAIN", "PIPELINING"}));
  EXPECT_TRUE(h.log.WaitFor("C<-P    Response of CAPA command"));
}

// A listing is kept until it is complete only up to a bound (1 MiB): past it the listing goes
// out as it arrives, so that an answer that never ends costs no more memory than that. Such an
// answer that never ends is cut off by the timeout; one that does end arrives whole.
TEST(RelayTest, ListingTooLongToKeepIsRelayedAsItArrives) {
  const int count = 200000;
  std::string lines;
  for (int i = 1; i <= count; ++i) {
    lines += std::to_string(i) + " 4711\r\n";
  }
  ProxyHarness h;
  h.upstream.script = [&lines](const std::string& command) {
    if (command == "LIST") {
      return "+OK endless\r\n" + lines;  // and nothing more
    }
    // The password the real server echoes is masked here too, after the words the client reads.
    return command == "UIDL" ? "+OK long\r\n" + lines + "0 s3cret s3cret\r\n.\r\n" : std::string();
  };
  h.Start();
  auto client = h.LoggedIn("[Upstream]\nTimeout=1\n");
  EXPECT_EQ(client->Command("UIDL"), "+OK long");
  Lines received = client->ReadUntilDot();
  ASSERT_EQ(received.size(), static_cast<size_t>(count) + 1);
  EXPECT_EQ(received[count - 1], std::to_string(count) + " 4711");
  EXPECT_EQ(received.back(), "0 s3cret ********");
  EXPECT_EQ(client->Command("LIST"), "+OK endless");
  received = client->ReadUntilDot();
  // All but the last, partial chunk has gone out before the timeout ends the connection.
  ASSERT_GT(received.size(), static_cast<size_t>(count) * 3 / 4);
  EXPECT_EQ(received[1000], "1001 4711");
  EXPECT_EQ(received.back(), "<closed>");
}

// The client takes "+OK" to QUIT for its DELEs done: only the real server's own "+OK" may say
// so. Each row: what the real server does until and at QUIT, the reply the client gets, and the
// real server's reply as logged (none: it gave none).
TEST(RelayTest, QuitSucceedsOnlyWhenTheRealServerConfirmsIt) {
  const std::string mayRemain = " Messages marked for deletion may not have been deleted.";
  const struct {
    const char* what;
    const char* rules;
    std::string list, quit, reply, logged;
  } cases[] = {
      {"confirmed", "", "", "", "+OK Good-bye from the Quillbox", "+OK Logging out."},
      {"refused", "", "", "-ERR some deleted messages not removed\r\n",
       "-ERR some deleted messages not removed", "-ERR some deleted messages not removed"},
      {"refused, echoing the password", "", "", "-ERR s3cret: locked\r\n", "-ERR ********: locked",
       "-ERR ********: locked"},
      {"refused without a word", "", "", "-ERR\r\n",
       "-ERR The actual POP3 server refused QUIT." + mayRemain, "-ERR"},
      {"connection lost before QUIT", "",
       "+OK 2 messages\r\n1 120\r\n" + std::string(ScriptedUpstream::kClose), "",
       "-ERR The connection to 127.0.0.1:<port> was closed before QUIT." + mayRemain, ""},
      {"connection lost at QUIT", "", "", ScriptedUpstream::kClose,
       "-ERR Connection Closed Gracefully." + mayRemain, ""},
      {"no answer", "[Upstream]\nTimeout=1\n", "", ScriptedUpstream::kStall,
       "-ERR No answer from 127.0.0.1:<port> within 1 second." + mayRemain, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProxyHarness h;
    h.upstream.messages = {Message({"Subject: s"}, {"b"})};
    h.upstream.script = [&c](const std::string& command) {
      return command == "LIST" ? c.list : command == "QUIT" ? c.quit : std::string();
    };
    h.Start();
    std::string reply = c.reply;
    if (const size_t at = reply.find("<port>"); at != std::string::npos)
      reply.replace(at, 6, std::to_string(h.upstream.Port()));
    auto client = h.LoggedIn(c.rules);
    EXPECT_EQ(client->Command("DELE 1"), "+OK Marked to be deleted.");
    if (!c.list.empty()) {
      EXPECT_EQ(client->Command("LIST"), "-ERR Connection Closed Gracefully.");
    }
    EXPECT_EQ(client->Command("QUIT"), reply);
    EXPECT_TRUE(client->Closed());
    ASSERT_TRUE(h.log.WaitFor("   P    Disconnected"));
    Lines expected = {"C->P    QUIT"};
    if (c.list.empty())
      expected.push_back("   P->S QUIT");
    if (!c.logged.empty())
      expected.push_back("   P<-S " + c.logged);
    expected.push_back("C<-P    " + reply);
    const Lines logged = h.log.Since("C->P    QUIT");
    ASSERT_GE(logged.size(), expected.size());
    EXPECT_EQ(Lines(logged.begin(), logged.begin() + expected.size()), expected);
  }
}

// A client told "+OK" would believe its DELEs undone while the server removes them at QUIT.
TEST(RelayTest, RefusedRsetIsNotReportedAsSuccess) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command == "RSET" ? std::string("-ERR cannot\r\n") : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("RSET"), "-ERR cannot");
}

// A bare CR in the real server's status line would reach the client as a line end, and the
// client would take the rest for the answer to its next command.
TEST(RelayTest, StatusLineWithABareCRStaysOneLine) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    if (command == "DELE 1")
      return std::string("-ERR no\rsuch message\r\r\n");
    return command == "STAT" ? std::string("+OK 1\r2\r\n") : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("DELE 1"), "-ERR no such message ");
  EXPECT_EQ(client->Command("NOOP"), "+OK");
  EXPECT_EQ(client->Command("STAT"), "+OK 1 2");
  EXPECT_EQ(client->Command("NOOP"), "+OK");
}

}  // namespace
}  // namespace quillbox
