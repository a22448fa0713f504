#include "pop3/IdCmdTCPServer.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "pop3/DotStuffing.h"

namespace quillbox {

namespace {

std::vector<std::string> SplitParams(std::string_view text, char delimiter) {
  std::vector<std::string> words;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(delimiter, begin);
    if (end == std::string_view::npos)
      end = text.size();
    if (end > begin)
      words.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return words;
}

// The client's line as it may appear in a reply: control characters (a bare CR above all) would
// break the reply line or the client's terminal.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  }
  return text;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

void SendReply(TIdIOHandlerStack& io, const TIdReplyPOP3& reply) {
  io.WriteLines(reply.FormatLines());
}

TIdCommand::TIdCommand(const TIdCommandHandler& handler, TIdContext& context)
    : handler_(handler), context_(context) {}

std::vector<std::string> TIdCommand::TakeReply() {
  ReplyPending = false;
  // An error's message may have several lines (every socket error has two); the client must
  // still get one status line.
  Reply.JoinText(" ");
  // A client that reconnects as soon as it has its good-bye must find the place free.
  if (Disconnect)
    context_.ReleaseSlot();
  return Reply.FormatLines();
}

void TIdCommand::SendReply() {
  context_.Connection().IOHandler().WriteLines(TakeReply());
}

void TIdCommand::SendReply(TIdDotTerminatedWriter& writer) {
  for (const std::string& line : TakeReply()) {
    writer.AddStuffed(line);
    writer.AddStuffed("\r\n");
  }
}

bool TIdCommandHandler::Matches(const std::string& line, std::string& argumentText) const {
  if (Command.empty())
    return false;
  if (SameText(line, Command)) {
    argumentText.clear();
    return true;
  }
  if (line.size() > Command.size() && line[Command.size()] == CmdDelimiter &&
      StartsText(Command, line)) {
    argumentText = line.substr(Command.size() + 1);
    return true;
  }
  return false;
}

void TIdCommandHandler::ExecuteCommand(TIdContext& context, const std::string& line,
                                       std::string argumentText,
                                       const TIdReplyPOP3& serverExceptionReply) const {
  TIdCommand cmd(*this, context);
  cmd.RawLine = line;
  cmd.ArgumentText = std::move(argumentText);
  cmd.Disconnect = Disconnect;
  if (ParseParams)
    cmd.Params = SplitParams(cmd.ArgumentText, ParamDelimiter);
  cmd.ReplyPending = true;
  if (cmd.Reply.Code().empty() && !NormalReply.Code().empty())
    cmd.Reply.Assign(NormalReply);
  try {
    if (OnCommand)
      OnCommand(cmd);
    if (cmd.Reply.Code().empty())
      cmd.Reply.Assign(NormalReply);
  } catch (const Exception& e) {
    cmd.Reply.Clear();
    if (!cmd.ReplyPending)
      throw;
    if (!ExceptionReply.Code().empty())
      cmd.Reply.Assign(ExceptionReply);
    else if (!serverExceptionReply.Code().empty())
      cmd.Reply.Assign(serverExceptionReply);
    if (cmd.Reply.Code().empty())
      throw;
    cmd.Reply.SetText(e.Message());
    cmd.SendReply();
  }
  if (cmd.ReplyPending)
    cmd.SendReply();
  TIdIOHandlerStack& io = context.Connection().IOHandler();
  if (!cmd.Response.empty() || cmd.AlwaysSendResponse)
    WriteDotTerminated(io, cmd.Response);
  else if (!Response.empty())
    WriteDotTerminated(io, Response);
  if (cmd.Disconnect)
    context.Connection().DisconnectGracefully();
}

TIdCommandHandler& TIdCommandHandlers::Add() {
  items_.push_back(std::make_unique<TIdCommandHandler>());
  return *items_.back();
}

bool TIdCommandHandlers::HandleCommand(TIdContext& context, const std::string& line,
                                       const TIdReplyPOP3& serverExceptionReply) const {
  std::string argumentText;
  for (const auto& handler : items_) {
    if (handler->Enabled && handler->Matches(line, argumentText)) {
      handler->ExecuteCommand(context, line, std::move(argumentText), serverExceptionReply);
      return true;
    }
  }
  return false;
}

TIdCmdTCPServer::TIdCmdTCPServer() = default;

TIdCmdTCPServer::~TIdCmdTCPServer() {
  SetActive(false);
}

void TIdCmdTCPServer::InitializeCommandHandlers() {
  if (commandsInitialized_)
    return;
  commandsInitialized_ = true;
  InitializeCommands();
  if (HelpReply.Code().empty())
    return;
  TIdCommandHandler& help = CommandHandlers.Add();
  help.Command = "Help";
  help.Description = {"Displays commands that the servers supports."};
  help.NormalReply.Assign(HelpReply);
  std::vector<const TIdCommandHandler*> visible;
  for (size_t i = 0; i < CommandHandlers.Count(); ++i) {
    if (CommandHandlers.Items(i).HelpVisible)
      visible.push_back(&CommandHandlers.Items(i));
  }
  auto name = [](const TIdCommandHandler* h) { return h->Command + h->HelpSuperScript; };
  std::stable_sort(visible.begin(), visible.end(),
                   [&](auto* a, auto* b) { return LowerAscii(name(a)) < LowerAscii(name(b)); });
  for (const TIdCommandHandler* handler : visible) {
    help.Response.push_back(name(handler));
    for (const auto& line : handler->Description)
      help.Response.push_back("  " + line);
    help.Response.emplace_back();
  }
}

void TIdCmdTCPServer::DoConnect(TIdContext& context) {
  TIdCustomTCPServer::DoConnect(context);
  if (context.Connection().Connected() && !Greeting.Code().empty()) {
    TIdReplyPOP3 greeting;
    greeting.Assign(Greeting);
    SendReply(context.Connection().IOHandler(), greeting);
  }
}

bool TIdCmdTCPServer::DoExecute(TIdContext& context) {
  TIdTCPConnection& connection = context.Connection();
  if (!connection.Connected())
    return false;
  TIdIOHandlerStack& io = connection.IOHandler();
  while (OnIdle && !io.InputWaiting() && OnIdle(context)) {
  }
  const std::string line =
      io.ReadLine('\n', IdleTimeout > 0 ? IdleTimeout : TIdIOHandlerStack::kDefaultTimeout, -1);
  if (io.ReadLnTimedOut())
    throw EIdIdleTimeout(IdleTimeout / 1000);
  if (!line.empty() && !CommandHandlers.HandleCommand(context, line, ExceptionReply)) {
    TIdReplyPOP3 reply;
    reply.Assign(ReplyUnknownCommand);
    reply.Text().push_back(Printable(line));
    reply.JoinText(": ");
    SendReply(connection.IOHandler(), reply);
  }
  return connection.Connected();
}

void TIdCmdTCPServer::SendMaxConnectionReply(TIdTCPConnection& connection) {
  SendReply(connection.IOHandler(), MaxConnectionReply);
}

}  // namespace quillbox
