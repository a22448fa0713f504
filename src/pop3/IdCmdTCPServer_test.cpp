#include "pop3/IdCmdTCPServer.h"

#include <gtest/gtest.h>

#include "net/IdException.h"
#include "support/ScriptedSession.h"

namespace quillbox {
namespace {

using namespace test;

TEST(IdCommandHandlerTest, MatchingIgnoresCaseAndNeedsTheDelimiter) {
  TIdCommandHandler list;
  list.Command = "LIST";
  struct Case {
    std::string line;
    bool matches;
    std::string argumentText;
  } cases[] = {
      {"LIST", true, ""},          {"list", true, ""},  {"LIST 2", true, "2"},
      {"List  2", true, " 2"},     {"LIST ", true, ""}, {"LISTX", false, ""},
      {"LIST\t2", false, ""},      {"LIS", false, ""},  {" LIST", false, ""},
      {"LIST 2 3 ", true, "2 3 "},
  };
  for (const auto& c : cases) {
    std::string argumentText = "unchanged";
    EXPECT_EQ(list.Matches(c.line, argumentText), c.matches) << c.line;
    if (c.matches) {
      EXPECT_EQ(argumentText, c.argumentText) << c.line;
    }
  }
}

// A command server with a table of the test's own, driven over a scripted socket.
class CmdServerTest : public ::testing::Test {
 protected:
  std::string Run(const std::string& input) {
    server.InitializeCommandHandlers();
    return ScriptedSession<>(input).Run(server);
  }

  TIdCommandHandler& Add(const char* name, std::function<void(TIdCommand&)> routine) {
    TIdCommandHandler& handler = server.CommandHandlers.Add();
    handler.Command = name;
    handler.OnCommand = std::move(routine);
    return handler;
  }

  TIdCmdTCPServer server;
};

TEST_F(CmdServerTest, FirstEnabledEntryWins) {
  Add("A", [](TIdCommand& cmd) { cmd.Reply.SetText("first"); }).Enabled = false;
  Add("A", [](TIdCommand& cmd) { cmd.Reply.SetText("second"); });
  Add("A", [](TIdCommand& cmd) { cmd.Reply.SetText("third"); });
  EXPECT_EQ(Run("a\r\n"), "+OK second\r\n");
}

TEST_F(CmdServerTest, ErrorsFallBackToTheServerExceptionReply) {
  server.ExceptionReply.SetCodeAndText("-ERR", "Unknown Internal Error");
  TIdCommandHandler& own = Add("OWN", [](TIdCommand&) { throw Exception("own text"); });
  own.ExceptionReply.SetCode("-ERR");
  TIdCommandHandler& none = Add("NONE", [](TIdCommand&) { throw Exception("server's code"); });
  none.ExceptionReply.Clear();
  EXPECT_EQ(Run("OWN\r\nNONE\r\n"), "-ERR own text\r\n-ERR server's code\r\n");
}

// A client reads one status line per command, whatever a routine or an error put in the text.
TEST_F(CmdServerTest, ReplyTextWithLineBreaksGoesOutAsOneLine) {
  Add("SET", [](TIdCommand& cmd) { cmd.Reply.SetCodeAndText("-ERR", "no\r\nway\rat all"); });
  Add("RAISE", [](TIdCommand&) { throw Exception("Socket Error # 10054\r\n"); });
  EXPECT_EQ(Run("SET\r\nRAISE\r\n"), "-ERR no way at all\r\n+OK Socket Error # 10054\r\n");
}

TEST_F(CmdServerTest, ErrorAfterReplyWasSentLeavesTheLoop) {
  Add("X", [](TIdCommand& cmd) {
    cmd.SendReply();
    throw Exception("late");
  });
  EXPECT_THROW(Run("X\r\nX\r\n"), Exception);
}

TEST_F(CmdServerTest, ResponseFollowsTheReplyEvenAfterAnError) {
  Add("R", [](TIdCommand& cmd) {
    cmd.Response = {".hidden", "b"};
    throw Exception("failed");
  });
  EXPECT_EQ(Run("R\r\n"), "+OK failed\r\n..hidden\r\nb\r\n.\r\n");
}

TEST_F(CmdServerTest, DisconnectEntryClosesAfterItsReply) {
  Add("BYE", nullptr).Disconnect = true;
  Add("NOOP", nullptr);
  EXPECT_EQ(Run("BYE\r\n"), "+OK\r\n");
}

}  // namespace
}  // namespace quillbox
