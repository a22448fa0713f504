// Arbitrary client input through the POP3 command layer with events that answer, add response
// lines or fail: every line must end in a reply, no reply, or the end of the connection.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pop3/IdPOP3Server.h"
#include "support/ScriptedSession.h"

namespace {

quillbox::TIdPOP3Server& Server() {
  using namespace quillbox;
  using namespace quillbox::test;
  static TIdPOP3Server* server = [] {
    static TIdPOP3Server s;
    s.OnCheckUser = [](TIdPOP3ServerContext& c, TIdPOP3ServerContext&) {
      if (c.Password.size() % 2 == 1)
        throw Exception("refused\r\nsecond line");
    };
    s.OnList = [](TIdCommand& cmd, int msg) {
      if (msg < 0)
        cmd.Response = {"1 120", ".2 340"};
    };
    s.OnUIDL = [](TIdCommand& cmd, int msg) {
      cmd.Reply.SetCodeAndText("+OK", std::to_string(msg));
    };
    s.OnRetrieve = [](TIdCommand& cmd, int msg) {
      if (msg == 0)
        throw Exception("");
      cmd.Response.assign(static_cast<size_t>(msg) % 5, ".");
    };
    s.OnDelete = [](TIdCommand& cmd, int) { cmd.Reply.SetCodeAndText("-ERR", "no\nway"); };
    s.OnTop = [](TIdCommand& cmd, int msg, int lines) {
      cmd.Response.assign(static_cast<size_t>(lines % 4), std::to_string(msg));
    };
    s.OnStat = [](TIdCommand&, int& count, int& size) {
      count = 2;
      size = 460;
    };
    s.OnReset = [](TIdCommand&) { throw EIdSocketError(10054); };
    s.OnQuit = [](TIdCommand&) {};
    s.OnCAPA = [](TIdContext&, std::vector<std::string>& caps) { caps.push_back(".STUFFED"); };
    s.InitializeCommandHandlers();
    return &s;
  }();
  return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbox;
  using namespace quillbox::test;
  std::string input(reinterpret_cast<const char*>(data), size);
  // The scripted client waits after its input, so the last line must be complete.
  input += '\n';
  ScriptedSession<TIdPOP3ServerContext> session(input);
  try {
    session.Run(Server());
  } catch (const Exception&) {
    // a line over the limit ends the connection, as it should
  }
  return 0;
}
