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

// The password the real server echoes in any later reply never reaches the log.
TEST(CheckUserTest, PasswordEchoedInCapaStatOrAnyReplyNeverReachesTheLog) {
  ProxyHarness h;
  h.upstream.password = "hunter2";
  h.upstream.capabilities = {"TOP", "IMPLEMENTATION hunter2"};
  h.upstream.script = [](const std::string& command) {
    if (command.starts_with("PASS "))
      return "+OK Welcome, " + command.substr(5) + ".\r\n";
    if (command == "STAT")
      return std::string("+OK 1 2 hunter2\r\n");
    if (command.starts_with("LIST"))
      return std::string("-ERR hunter2: no such message\r\n");
    return std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("STAT"), "+OK 1 2");
  EXPECT_EQ(client->Command("LIST 1"), "-ERR hunter2: no such message");
  EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
  ASSERT_TRUE(h.log.WaitFor("   P<-S IMPLEMENTATION ********"));
  EXPECT_TRUE(h.log.WaitFor("   P<-S +OK Welcome, ********."));
  EXPECT_TRUE(h.log.WaitFor("   P<-S +OK 1 2 ********"));
  EXPECT_TRUE(h.log.WaitFor("C<-P    -ERR ********: no such message"));
  for (const std::string& line : h.log.Lines()) {
    EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace quillbox
