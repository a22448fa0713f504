#include "pop3/IdPOP3Server.h"

#include "base/SysUtils.h"

namespace quillbox {

namespace {

TIdPOP3ServerContext& POP3Context(TIdCommand& cmd) {
  return dynamic_cast<TIdPOP3ServerContext&>(cmd.Context());
}

// The argument words joined as the run-time library joins a string list's lines.
std::string JoinedParams(const TIdCommand& cmd) {
  std::string text;
  for (size_t i = 0; i < cmd.Params.size(); ++i) {
    if (i > 0)
      text += "\r\n";
    text += cmd.Params[i];
  }
  return Trim(text);
}

int StrToInt(const std::string& text) {
  if (auto value = TryStrToInt(text))
    return *value;
  throw EConvertError("'" + text + "' は整数ではありません");
}

const std::string& FirstParam(const TIdCommand& cmd) {
  if (cmd.Params.empty())
    throw EStringListError("リストのインデックスが範囲を超えています (0)");
  return cmd.Params.front();
}

}  // namespace

TIdPOP3Server::TIdPOP3Server() {
  DefaultPort = 110;
  IdleTimeout = kAutologoutMs;
  SetContextClass<TIdPOP3ServerContext>();
  ExceptionReply.SetCodeAndText("-ERR", "Unknown Internal Error");
  Greeting.SetCodeAndText("+OK", "Welcome to the Quillbox");
  HelpReply.SetCodeAndText("+OK", "Help follows");
  MaxConnectionReply.SetCodeAndText("-ERR", "Too many connections. Try again later.");
  ReplyUnknownCommand.SetCodeAndText("-ERR", "Sorry, Unknown Command");
}

TIdPOP3Server::~TIdPOP3Server() {
  SetActive(false);
}

void TIdPOP3Server::InitializeCommands() {
  struct Entry {
    const char* command;
    bool parseParams;
    void (TIdPOP3Server::*routine)(TIdCommand&);
  };
  static constexpr Entry kTable[] = {
      {"USER", true, &TIdPOP3Server::CommandUSER},
      {"PASS", true, &TIdPOP3Server::CommandPASS},
      {"LIST", true, &TIdPOP3Server::CommandLIST},
      {"RETR", true, &TIdPOP3Server::CommandRETR},
      {"DELE", true, &TIdPOP3Server::CommandDELE},
      {"UIDL", true, &TIdPOP3Server::CommandUIDL},
      {"STAT", false, &TIdPOP3Server::CommandSTAT},
      {"TOP", true, &TIdPOP3Server::CommandTOP},
      {"NOOP", false, nullptr},
      {"APOP", true, &TIdPOP3Server::CommandAPOP},
      {"RSET", false, &TIdPOP3Server::CommandRSET},
      {"QUIT", false, &TIdPOP3Server::CommandQUIT},
      {"STLS", true, &TIdPOP3Server::CommandSTLS},
      {"CAPA", true, &TIdPOP3Server::CommandCAPA},
  };
  for (const Entry& entry : kTable) {
    TIdCommandHandler& handler = CommandHandlers.Add();
    handler.Command = entry.command;
    handler.ParseParams = entry.parseParams;
    handler.NormalReply.SetCode("+OK");
    handler.ExceptionReply.SetCode("-ERR");
    if (entry.routine != nullptr)
      handler.OnCommand = [this, routine = entry.routine](TIdCommand& cmd) {
        (this->*routine)(cmd);
      };
    handler.Disconnect = std::string_view(entry.command) == "QUIT";
  }
}

bool TIdPOP3Server::LoginGate(TIdCommand& cmd, bool assigned) {
  if (!POP3Context(cmd).LoggedIn) {
    cmd.Reply.SetCodeAndText("-ERR", "Please login first");
    return false;
  }
  if (!assigned) {
    cmd.Reply.SetCodeAndText("-ERR", "Command Not Handled: " + cmd.CommandHandler().Command);
    return false;
  }
  return true;
}

bool TIdPOP3Server::PlainLoginRefused(TIdCommand& cmd) {
  TIdPOP3ServerContext& context = POP3Context(cmd);
  if (context.TLS != nullptr || !RequireTLS || !RequireTLS(context))
    return false;
  cmd.Reply.SetCodeAndText(
      "-ERR",
      "This client is not on Quillbox's machine: start TLS with STLS (or use the TLS "
      "port) before USER and PASS.");
  return true;
}

bool TIdPOP3Server::SecondLoginRefused(TIdCommand& cmd) {
  if (!POP3Context(cmd).LoggedIn)
    return false;
  cmd.Reply.SetCodeAndText("-ERR", "Already logged in.");
  return true;
}

void TIdPOP3Server::CommandUSER(TIdCommand& cmd) {
  if (SecondLoginRefused(cmd) || PlainLoginRefused(cmd))
    return;
  if (!cmd.Params.empty())
    POP3Context(cmd).Username = cmd.Params.front();
  cmd.Reply.SetCodeAndText("+OK", "Password required");
}

void TIdPOP3Server::CommandPASS(TIdCommand& cmd) {
  if (SecondLoginRefused(cmd) || PlainLoginRefused(cmd))
    return;
  TIdPOP3ServerContext& context = POP3Context(cmd);
  if (!cmd.Params.empty())
    context.Password = cmd.Params.front();
  if (OnCheckUser)
    OnCheckUser(context, context);
  context.LoggedIn = true;
  cmd.Reply.SetCodeAndText("+OK", "Login OK");
}

void TIdPOP3Server::CommandLIST(TIdCommand& cmd) {
  if (LoginGate(cmd, static_cast<bool>(OnList)))
    OnList(cmd, StrToIntDef(JoinedParams(cmd), -1));
}

void TIdPOP3Server::CommandUIDL(TIdCommand& cmd) {
  if (LoginGate(cmd, static_cast<bool>(OnUIDL)))
    OnUIDL(cmd, StrToIntDef(JoinedParams(cmd), -1));
}

void TIdPOP3Server::CommandRETR(TIdCommand& cmd) {
  if (LoginGate(cmd, static_cast<bool>(OnRetrieve)))
    OnRetrieve(cmd, StrToInt(Trim(FirstParam(cmd))));
}

void TIdPOP3Server::CommandDELE(TIdCommand& cmd) {
  if (LoginGate(cmd, static_cast<bool>(OnDelete)))
    OnDelete(cmd, StrToInt(JoinedParams(cmd)));
}

void TIdPOP3Server::CommandSTAT(TIdCommand& cmd) {
  if (!LoginGate(cmd, static_cast<bool>(OnStat)))
    return;
  int count = 0;
  int size = 0;
  OnStat(cmd, count, size);
  cmd.Reply.SetText(std::to_string(count) + " " + std::to_string(size));
}

void TIdPOP3Server::CommandTOP(TIdCommand& cmd) {
  if (!LoginGate(cmd, static_cast<bool>(OnTop)))
    return;
  const bool twoWords = cmd.Params.size() == 2;
  const int msg = twoWords ? StrToIntDef(cmd.Params[0], 0) : 0;
  const int lines = twoWords ? StrToIntDef(cmd.Params[1], -1) : -1;
  if (twoWords && msg > 0 && lines >= 0)
    OnTop(cmd, msg, lines);
  else
    cmd.Reply.SetCodeAndText("-ERR", "Invalid Syntax");
}

void TIdPOP3Server::CommandAPOP(TIdCommand& cmd) {
  if (POP3Context(cmd).LoggedIn)
    cmd.Reply.SetCodeAndText("-ERR", "Wrong State");
  else
    cmd.Reply.SetCodeAndText("-ERR", "Command Not Handled: APOP");
}

void TIdPOP3Server::CommandRSET(TIdCommand& cmd) {
  if (LoginGate(cmd, static_cast<bool>(OnReset)))
    OnReset(cmd);
}

void TIdPOP3Server::CommandQUIT(TIdCommand& cmd) {
  if (OnQuit)
    OnQuit(cmd);
}

void TIdPOP3Server::CommandSTLS(TIdCommand& cmd) {
  TIdPOP3ServerContext& context = POP3Context(cmd);
  if (!TLSContext) {
    cmd.Reply.SetCodeAndText("-ERR", "Command Not Handled: STLS");
    return;
  }
  if (context.TLS != nullptr) {
    cmd.Reply.SetCodeAndText("-ERR", "TLS is already active.");
    return;
  }
  if (context.LoggedIn) {
    cmd.Reply.SetCodeAndText("-ERR", "STLS is only allowed before login.");
    return;
  }
  cmd.Reply.SetCodeAndText("+OK", "Begin TLS negotiation");
  cmd.SendReply();
  // What the client sent after STLS came before it could have seen the answer, in clear: taking
  // it as coming from inside TLS would let anyone on the path inject commands.
  const size_t discarded = context.Connection().IOHandler().DiscardInputBuffer();
  context.Username.clear();
  context.Password.clear();
  try {
    StartTLS(context);
  } catch (const EIdTLSError& e) {
    if (discarded == 0)
      throw;
    throw EIdTLSError(e.Reason(), e.Message() + " " + std::to_string(discarded) +
                                      " bytes the client sent in clear after STLS were "
                                      "discarded.");
  }
}

void TIdPOP3Server::CommandCAPA(TIdCommand& cmd) {
  cmd.Reply.SetCodeAndText("+OK", "Capability list follows");
  cmd.AlwaysSendResponse = true;
  if (OnTop)
    cmd.Response.push_back("TOP");
  if (OnUIDL)
    cmd.Response.push_back("UIDL");
  cmd.Response.push_back("USER");
  const TIdPOP3ServerContext& context = POP3Context(cmd);
  if (TLSContext && context.TLS == nullptr && !context.LoggedIn)
    cmd.Response.push_back("STLS");
  if (OnCAPA)
    OnCAPA(cmd.Context(), cmd.Response);
}

}  // namespace quillbox
