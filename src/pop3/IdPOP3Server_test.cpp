#include "pop3/IdPOP3Server.h"

#include <gtest/gtest.h>

#include "net/IdException.h"
#include "support/ScriptedSession.h"

namespace quillbox {
namespace {

using namespace test;

// A POP3 server whose events record their calls, driven over a scripted client socket.
class POP3ServerTest : public ::testing::Test {
 protected:
  POP3ServerTest() {
    server.OnCheckUser = [this](TIdPOP3ServerContext& c, TIdPOP3ServerContext& s) {
      calls.push_back("CheckUser(" + c.Username + "," + c.Password + ")");
      EXPECT_EQ(&c, &s);
      if (c.Password == "bad")
        throw Exception("Delimiter # is not found in the USER command.");
    };
    server.OnList = [this](TIdCommand&, int msg) { Call("List", msg); };
    server.OnUIDL = [this](TIdCommand&, int msg) { Call("UIDL", msg); };
    server.OnRetrieve = [this](TIdCommand& cmd, int msg) {
      Call("Retrieve", msg);
      cmd.Response = {"Subject: x", ".leading dot", "", "body"};
    };
    server.OnDelete = [this](TIdCommand&, int msg) { Call("Delete", msg); };
    server.OnTop = [this](TIdCommand&, int msg, int lines) {
      calls.push_back("Top(" + std::to_string(msg) + "," + std::to_string(lines) + ")");
    };
    server.OnStat = [this](TIdCommand&, int& count, int& size) {
      calls.push_back("Stat");
      count = 3;
      size = 1200;
    };
    server.OnReset = [](TIdCommand&) { throw EIdSocketError(10061); };
    server.OnQuit = [this](TIdCommand&) { calls.push_back("Quit"); };
    server.OnCAPA = [this](TIdContext&, std::vector<std::string>& capabilities) {
      calls.push_back("CAPA");
      capabilities.push_back("PIPELINING");
    };
    server.InitializeCommandHandlers();
  }

  void Call(const char* name, int msg) {
    calls.push_back(std::string(name) + "(" + std::to_string(msg) + ")");
  }

  // Plays the client's input through the command loop; returns what the server sent.
  std::string Run(const std::string& input, bool loggedIn) {
    session = std::make_unique<ScriptedSession<TIdPOP3ServerContext>>(input);
    context = session->context.get();
    context->LoggedIn = loggedIn;
    return session->Run(server);
  }

  TIdPOP3Server server;
  std::unique_ptr<ScriptedSession<TIdPOP3ServerContext>> session;
  TIdPOP3ServerContext* context = nullptr;
  std::vector<std::string> calls;
};

TEST_F(POP3ServerTest, RepliesAndEventCalls) {
  struct Case {
    const char* input;
    bool loggedIn;
    std::string reply;
    std::vector<std::string> calls;
  } cases[] = {
      {"NOOP", false, "+OK\r\n", {}},
      {"noop", false, "+OK\r\n", {}},
      {"NOOPX", false, "-ERR Sorry, Unknown Command: NOOPX\r\n", {}},
      {"LIST\t1", true, "-ERR Sorry, Unknown Command: LIST?1\r\n", {}},
      {"NO\rOP\x7f", true, "-ERR Sorry, Unknown Command: NO?OP?\r\n", {}},
      {"   ", false, "-ERR Sorry, Unknown Command:    \r\n", {}},
      {"STAT", false, "-ERR Please login first\r\n", {}},
      {"STAT x y", true, "+OK 3 1200\r\n", {"Stat"}},
      {"LIST 2 3", true, "+OK\r\n", {"List(-1)"}},
      {"LIST x", true, "+OK\r\n", {"List(-1)"}},
      {"LIST", true, "+OK\r\n", {"List(-1)"}},
      {"List  2", true, "+OK\r\n", {"List(2)"}},
      {"UIDL 4", true, "+OK\r\n", {"UIDL(4)"}},
      {"LIST 2", false, "-ERR Please login first\r\n", {}},
      {"TOP 1", true, "-ERR Invalid Syntax\r\n", {}},
      {"TOP 0 5", true, "-ERR Invalid Syntax\r\n", {}},
      {"TOP 1 -1", true, "-ERR Invalid Syntax\r\n", {}},
      {"TOP 1 x", true, "-ERR Invalid Syntax\r\n", {}},
      {"TOP 1 0", true, "+OK\r\n", {"Top(1,0)"}},
      {"RETR x", true, "-ERR 'x' は整数ではありません\r\n", {}},
      {"RETR", true, "-ERR リストのインデックスが範囲を超えています (0)\r\n", {}},
      {"RETR  7 ",
       true,
       "+OK\r\nSubject: x\r\n..leading dot\r\n\r\nbody\r\n.\r\n",
       {"Retrieve(7)"}},
      {"RETR 1", false, "-ERR Please login first\r\n", {}},
      {"DELE 1 2", true, "-ERR '1 2' は整数ではありません\r\n", {}},
      {"DELE", true, "-ERR '' は整数ではありません\r\n", {}},
      {"DELE +5", true, "+OK\r\n", {"Delete(5)"}},
      {"RSET", true, "-ERR Socket Error # 10061 Connection refused.\r\n", {}},
      {"APOP a b", false, "-ERR Command Not Handled: APOP\r\n", {}},
      {"APOP a b", true, "-ERR Wrong State\r\n", {}},
      {"STLS", false, "-ERR Command Not Handled: STLS\r\n", {}},
      {"USER a b", false, "+OK Password required\r\n", {}},
      {"PASS x y", false, "+OK Login OK\r\n", {"CheckUser(,x)"}},
      {"PASS bad",
       false,
       "-ERR Delimiter # is not found in the USER command.\r\n",
       {"CheckUser(,bad)"}},
      // A second login would replace the running session's server and rule file under it.
      {"USER b", true, "-ERR Already logged in.\r\n", {}},
      {"PASS y", true, "-ERR Already logged in.\r\n", {}},
      {"CAPA",
       false,
       "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n",
       {"CAPA"}},
      {"QUIT", false, "+OK\r\n", {"Quit"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    calls.clear();
    EXPECT_EQ(Run(std::string(c.input) + "\r\n", c.loggedIn), c.reply);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(POP3ServerTest, WithACertificateStlsIsOfferedBeforeLoginAndPlainLoginsCanBeRefused) {
  server.TLSContext = std::make_shared<TIdSSLServerContext>(MakeCertificate({}));
  bool outside = true;
  server.RequireTLS = [&outside](TIdPOP3ServerContext&) { return outside; };
  const std::string refused =
      "-ERR This client is not on Quillbox's machine: start TLS with STLS (or use the TLS port) "
      "before USER and PASS.\r\n";
  struct Case {
    bool outside;
    const char* input;
    bool loggedIn;
    std::string reply;
    std::vector<std::string> calls;
  } cases[] = {
      {true,
       "CAPA",
       false,
       "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nSTLS\r\nPIPELINING\r\n.\r\n",
       {"CAPA"}},
      {true,
       "CAPA",
       true,
       "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n",
       {"CAPA"}},
      {false, "STLS", true, "-ERR STLS is only allowed before login.\r\n", {}},
      {true, "USER a", false, refused, {}},
      {true, "PASS a", false, refused, {}},
      {false, "USER a", false, "+OK Password required\r\n", {}},
      {false, "PASS a", false, "+OK Login OK\r\n", {"CheckUser(,a)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    calls.clear();
    outside = c.outside;
    EXPECT_EQ(Run(std::string(c.input) + "\r\n", c.loggedIn), c.reply);
    EXPECT_EQ(calls, c.calls);
  }
}

// A client reads one line per command: a second line would be taken for the answer to its next
// command (fetchmail sends LAST, others AUTH or UTF8) and every later answer would be shifted.
TEST_F(POP3ServerTest, EveryRefusalIsOneLineSoTheNextCommandGetsItsOwnAnswer) {
  std::string input;
  for (const char* refused : {"LAST", "AUTH PLAIN", "UTF8", "XTND XMIT", "RSET", "DELE 1 2",
                              "RETR x", "TOP 1", "APOP a b", "STLS", "PASS bad", "LIST\r2"})
    input += std::string(refused) + "\r\nNOOP\r\n";
  std::string sent = Run(input, true);
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    const size_t end = sent.find("\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(sent.starts_with("-ERR ")) << sent.substr(0, end);
    sent.erase(0, end + 2);
    EXPECT_TRUE(sent.starts_with("+OK\r\n")) << sent;
    sent.erase(0, 5);
  }
  EXPECT_EQ(sent, "");
}

TEST_F(POP3ServerTest, EmptyLineGetsNoReply) {
  EXPECT_EQ(Run("\r\nNOOP\r\n", false), "+OK\r\n");
}

TEST_F(POP3ServerTest, UserAndPassKeepTheFirstWord) {
  Run("USER alice#host:110;r.ini extra\r\nPASS secret more\r\n", false);
  EXPECT_EQ(context->Username, "alice#host:110;r.ini");
  EXPECT_EQ(context->Password, "secret");
  EXPECT_TRUE(context->LoggedIn);
}

TEST_F(POP3ServerTest, RefusedLoginStaysLoggedOut) {
  Run("PASS bad\r\n", false);
  EXPECT_FALSE(context->LoggedIn);
  EXPECT_EQ(Run("USER\r\n", false), "+OK Password required\r\n");
}

TEST_F(POP3ServerTest, UnassignedEventIsNotHandled) {
  server.OnList = nullptr;
  server.OnTop = nullptr;
  EXPECT_EQ(Run("LIST\r\n", true), "-ERR Command Not Handled: LIST\r\n");
  EXPECT_EQ(Run("CAPA\r\n", false),
            "+OK Capability list follows\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n");
}

TEST_F(POP3ServerTest, QuitClosesTheConnection) {
  EXPECT_EQ(Run("QUIT\r\n", false), "+OK\r\n");
  EXPECT_FALSE(context->Connection().IOHandler().Opened());
}

TEST_F(POP3ServerTest, HelpListsEveryCommand) {
  std::string expected = "+OK\r\n";
  for (const char* name : {"APOP", "CAPA", "DELE", "Help", "LIST", "NOOP", "PASS", "QUIT", "RETR",
                           "RSET", "STAT", "STLS", "TOP", "UIDL", "USER"}) {
    expected += std::string(name) + "\r\n";
    if (std::string_view(name) == "Help")
      expected += "  Displays commands that the servers supports.\r\n";
    expected += "\r\n";
  }
  EXPECT_EQ(Run("HELP\r\n", false), expected + ".\r\n");
}

TEST_F(POP3ServerTest, ErrorWithEmptyMessageIsBareErr) {
  server.OnDelete = [](TIdCommand&, int) { throw EIdPortRequired(); };
  EXPECT_EQ(Run("DELE 1\r\n", true), "-ERR\r\n");
}

TEST_F(POP3ServerTest, LineOverTheLimitLeavesTheLoopWithoutReply) {
  const std::string input = "LIST " + std::string(20000, '1') + "\r\n";
  EXPECT_THROW(Run(input, true), EIdReadLnMaxLineLengthExceeded);
}

}  // namespace
}  // namespace quillbox
