#include "proxy/SessionLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::CapturingLog;
using test::ProxyHarness;
using Lines = std::vector<std::string>;

TEST(CheckUserTest, RefusalsNameTheUserButNeverThePassword) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command.starts_with("PASS ") ? "-ERR bad password " + command.substr(5) + "\r\n"
                                        : std::string();
  };
  h.Start();
  const std::string rules = h.RuleFile("r.ini", "");
  EXPECT_EQ(h.LoginReply("bob#127.0.0.1:" + std::to_string(h.upstream.Port()) + ";" + rules, "pw"),
            "-ERR Quillbox sent \"USER bob\" but received \"-ERR no such user\" from the actual "
            "POP3 server.");
  EXPECT_TRUE(
      h.log.WaitFor("C<-P    Quillbox sent \"USER bob\" but received \"-ERR no such "
                    "user\" from the actual POP3 server."));
  EXPECT_EQ(h.LoginReply(h.LoginName(rules), "hunter2"),
            "-ERR Quillbox sent \"USER alice, PASS ********\" but received \"-ERR bad password "
            "********\" from the actual POP3 server.");

  h.upstream.script = nullptr;
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("PASS hunter2"), "-ERR Already logged in.");
  EXPECT_EQ(client->Command("STAT").substr(0, 3), "+OK");
  for (const std::string& line : h.log.Lines()) {
    EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
    EXPECT_EQ(line.find(h.upstream.password), std::string::npos) << line;
  }
}

// A client that retries its login in the same connection (the right password after a wrong one)
// gets it, on a new upstream connection and with nothing left of the refused attempt; one that
// logs in again after a good login changes nothing: its server is not asked, its rule file not
// read.
TEST(CheckUserTest, LoginMayBeRetriedAfterARefusalButNeverRedoneAfterASuccess) {
  const struct {
    const char* what;
    std::string password;
    bool endlessCapa;
    std::string refusal;
  } cases[] = {
      {"wrong password", "wrong", false,
       "-ERR Quillbox sent \"USER alice, PASS ********\" but received \"-ERR Login failed.\" "
       "from the actual POP3 server."},
      {"refused after its CAPA", "s3cret", true,
       "-ERR Quillbox sent \"CAPA\" but the answer from the actual POP3 server did not end "
       "within 1 MiB."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProxyHarness h;
    h.upstream.messages = {test::Message({"Subject: s"}, {"b"})};
    std::atomic<int> capas{0};
    h.upstream.script = [&](const std::string& command) {
      if (command != "CAPA" || !c.endlessCapa || capas++ > 0)
        return std::string();
      return "+OK\r\n" + std::string(test::ScriptedUpstream::kRepeat) + "X-REFUSED-LOGINS-CAP\r\n";
    };
    h.Start();
    test::Pop3Client client(h.port);
    client.ReadLine();
    const std::string rules = h.RuleFile("r.ini", "[QuillboxRules]\nLookAhead=0\n");
    EXPECT_EQ(client.Command("USER " + h.LoginName(h.RuleFile("a.ini",
                                                              "[QuillboxRules]\n"
                                                              "MaxLines=7\n"))),
              "+OK Password required");
    EXPECT_EQ(client.Command("PASS " + c.password), c.refusal);
    // Closed at once, not left for the next attempt or the end of the connection.
    EXPECT_TRUE(test::WaitFor([&] { return h.upstream.Dropped() == 1; }));
    EXPECT_EQ(client.Command("USER " + h.LoginName(rules)), "+OK Password required");
    EXPECT_EQ(client.Command("PASS " + h.upstream.password), "+OK Login OK");
    EXPECT_EQ(client.Command("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(client.ReadUntilDot(), Lines({"TOP", "UIDL", "USER", "SASL PLAIN", "PIPELINING"}));

    // A rule file that would change the session, and another server.
    const size_t commands = h.upstream.Commands().size();
    const std::string other = h.RuleFile("b.ini", "[QuillboxRules]\nMaxLines=3\nAnnotateTop=0\n");
    EXPECT_EQ(client.Command("USER bob#127.0.0.1:1;" + other), "-ERR Already logged in.");
    EXPECT_EQ(client.Command("PASS other"), "-ERR Already logged in.");
    EXPECT_EQ(client.Command("RETR 1").substr(0, 3), "+OK");
    client.ReadUntilDot();
    EXPECT_EQ(h.upstream.Commands().size(), commands + 2);
    EXPECT_EQ(h.upstream.Commands()[commands], "TOP 1 20");
    EXPECT_EQ(client.Command("QUIT"), "+OK Good-bye from the Quillbox");
    const Lines logged = h.log.Lines();
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "   P    Max lines: 20"), 1);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "   P    Max lines: 3"), 0);
  }
}

// A refusal is decided on the reply as received, and its text is never garbled: the password
// is masked only where it stands as a whole word, never in the status word.
TEST(CheckUserTest, ShortPasswordsNeitherTurnARefusalIntoALoginNorGarbleIt) {
  ProxyHarness h;
  h.Start();
  const std::string refusal =
      "Quillbox sent \"USER alice, PASS ********\" but received \"-ERR Login failed.\" from the "
      "actual POP3 server.";
  for (const char* password : {"-", "E", "R", "ER", "-ERR", "in", "Login"}) {
    std::string expected = "-ERR " + refusal;
    if (password == std::string("Login"))
      expected.replace(expected.find("Login failed."), 5, "********");
    EXPECT_EQ(h.LoginReply(h.LoginName(h.RuleFile("r.ini", "")), password), expected) << password;
  }
  EXPECT_TRUE(h.log.WaitFor("   P<-S -ERR Login failed."));
  EXPECT_TRUE(h.log.WaitFor("C<-P    -ERR " + refusal));
}

TEST(SessionLogTest, MasksThePasswordAsAWholeWordAfterTheDirectionAndStatus) {
  const struct {
    const char* line;
    const char* password;
    const char* logged;
  } cases[] = {
      {"   P<-S -ERR Login failed.", "-ERR", "   P<-S -ERR Login failed."},
      {"   P<-S -ERR Login failed.", "in", "   P<-S -ERR Login failed."},
      {"   P<-S +OK Logged in.", "in", "   P<-S +OK Logged ********."},
      {"   P<-S +OK Logged in.", "g", "   P<-S +OK Logged in."},
      {"   P<-S IMPLEMENTATION pw=s3cret;", "s3cret", "   P<-S IMPLEMENTATION pw=********;"},
      {"   P<-S +OK s3cret s3crets s3cret", "s3cret", "   P<-S +OK ******** s3crets ********"},
      {"   P<-S +OK 1 2", "P", "   P<-S +OK 1 2"},
      {"C<-P    +OK 2 320", "2", "C<-P    +OK ******** 320"},
      {"   P<-S +OK a-b", "-", "   P<-S +OK a-b"},
      {"   P<-S +OK s3cret", "", "   P<-S +OK s3cret"},
  };
  for (const auto& c : cases) {
    CapturingLog log;
    const std::string password = c.password;
    TSessionLog(log, password).AddToMemo(c.line);
    EXPECT_EQ(log.Lines(), Lines{c.logged}) << c.line << " / " << c.password;
  }
}

// The password the real server echoes in any later reply reaches neither the log nor the
// client; where the client reads words as data (message numbers, sizes, unique-ids), a password
// equal to one is no echo and stays, or the listing would break.
TEST(CheckUserTest, PasswordEchoedInAnyReplyReachesNeitherTheLogNorTheClient) {
  const struct {
    std::string password, command, answer;
    Lines received;
  } cases[] = {
      {"hunter2",
       "DELE 1",
       "-ERR mailbox of user with password hunter2 is locked\r\n",
       {"-ERR mailbox of user with password ******** is locked"}},
      {"hunter2",
       "LIST 1",
       "-ERR hunter2: no such message\r\n",
       {"-ERR ********: no such message"}},
      {"hunter2", "UIDL 1", "+OK 1 u1 hunter2\r\n", {"+OK 1 u1 ********"}},
      {"hunter2", "STAT", "+OK 1 2 hunter2\r\n", {"+OK 1 2"}},
      {"hunter2", "STAT", "-ERR hunter2 is locked\r\n", {"-ERR ******** is locked"}},
      {"hunter2", "RSET", "+OK hunter2\r\n", {"+OK ********"}},
      {"hunter2", "RETR 1", "-ERR hunter2\r\n", {"-ERR ********"}},
      {"hunter2",
       "UIDL",
       "+OK hunter2\r\n1 u1 hunter2\r\n2 hunter2\r\n.\r\n",
       {"+OK ********", "1 u1 ********", "2 hunter2", "."}},
      {"4711",
       "LIST",
       "+OK 2 4711\r\n1 4711\r\n4711 20 4711\r\n.\r\n",
       {"+OK 2 ********", "1 4711", "4711 20 ********", "."}},
      {"4711", "LIST 1", "+OK  1  4711 4711\r\n", {"+OK  1  4711 ********"}},
      {"4711", "DELE 1", "+OK 4711 deleted\r\n", {"+OK ******** deleted"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password + " " + c.command);
    ProxyHarness h;
    h.upstream.password = c.password;
    h.upstream.messages = {test::Message({"Subject: s"}, {"b"})};
    h.upstream.capabilities = {"TOP", "IMPLEMENTATION " + c.password};
    h.upstream.script = [&c](const std::string& command) {
      if (command.starts_with("PASS "))
        return "+OK Welcome, " + command.substr(5) + ".\r\n";
      return command == c.command ? c.answer : std::string();
    };
    h.Start();
    auto client = h.LoggedIn();
    Lines received = {client->Command(c.command)};
    if (c.received.back() == ".") {
      const Lines rest = client->ReadUntilDot();
      received.insert(received.end(), rest.begin(), rest.end());
      received.push_back(".");
    }
    EXPECT_EQ(received, c.received);
    EXPECT_EQ(client->Command("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(client->ReadUntilDot(), Lines({"TOP", "UIDL", "USER", "IMPLEMENTATION ********"}));
    EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
    ASSERT_TRUE(h.log.WaitFor("   P<-S IMPLEMENTATION ********"));
    EXPECT_TRUE(h.log.WaitFor("   P<-S +OK Welcome, ********."));
    for (const std::string& line : h.log.Lines()) {
      EXPECT_EQ(line.find(c.password), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace quillbox
