#include "proxy/SessionLog.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(client->Command("PASS hunter2"), "-ERR Already connected.");
  EXPECT_EQ(client->Command("STAT").substr(0, 3), "+OK");
  for (const std::string& line : h.log.Lines()) {
    EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
    EXPECT_EQ(line.find(h.upstream.password), std::string::npos) << line;
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
