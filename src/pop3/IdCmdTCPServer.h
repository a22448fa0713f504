#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/SysUtils.h"
#include "net/IdException.h"
#include "pop3/DotStuffing.h"
#include "pop3/IdCustomTCPServer.h"
#include "pop3/IdReplyPOP3.h"

namespace quillbox {

class TIdCommandHandler;

// A client that sent no command for the listener's IdleTimeout. The connection ends without a
// reply, as RFC 1939's autologout timer has it.
class EIdIdleTimeout : public EIdException {
 public:
  explicit EIdIdleTimeout(int seconds)
      : EIdException("No command from the client for " + Seconds(seconds) + ": disconnected.") {}
};

// What a command routine receives: the parsed line, the reply to fill and the response lines to
// send after it. Lives for one command line on the connection's thread.
class TIdCommand {
 public:
  TIdCommand(const TIdCommandHandler& handler, TIdContext& context);

  const TIdCommandHandler& CommandHandler() const { return handler_; }
  TIdContext& Context() { return context_; }

  // Writes the reply now instead of after the routine, as one status line (text lines joined
  // with a blank). For a command that ends the connection (Disconnect), the connection's place
  // under MaxConnections is given back first.
  void SendReply();
  // The same reply put into writer ahead of a multi-line answer, to leave with the first of its
  // lines in the writer's next send: a client that reads the reply and then the answer wakes
  // once for both.
  void SendReply(TIdDotTerminatedWriter& writer);

  bool Disconnect = false;
  std::vector<std::string> Params;
  bool ReplyPending = false;
  std::string RawLine;
  TIdReplyPOP3 Reply;
  std::vector<std::string> Response;
  std::string ArgumentText;
  bool AlwaysSendResponse = false;

 private:
  // Marks the reply sent and returns its lines.
  std::vector<std::string> TakeReply();

  const TIdCommandHandler& handler_;
  TIdContext& context_;
};

// One entry of a command table. Read-only once the table is built, so shared by all
// connection threads.
class TIdCommandHandler {
 public:
  char CmdDelimiter = ' ';
  std::string Command;
  std::vector<std::string> Description;
  bool Disconnect = false;
  bool Enabled = true;
  TIdReplyPOP3 ExceptionReply;
  std::string HelpSuperScript;
  bool HelpVisible = true;
  TIdReplyPOP3 NormalReply;
  std::function<void(TIdCommand&)> OnCommand;
  char ParamDelimiter = ' ';
  bool ParseParams = true;
  std::vector<std::string> Response;

  // Whether the line is this command; sets argumentText to what follows the delimiter.
  bool Matches(const std::string& line, std::string& argumentText) const;
  // Runs the command and answers it. serverExceptionReply is the fallback reply for errors.
  void ExecuteCommand(TIdContext& context, const std::string& line, std::string argumentText,
                      const TIdReplyPOP3& serverExceptionReply) const;
};

// The command table, in the order commands are tried.
class TIdCommandHandlers {
 public:
  TIdCommandHandler& Add();
  size_t Count() const { return items_.size(); }
  TIdCommandHandler& Items(size_t index) { return *items_.at(index); }
  const TIdCommandHandler& Items(size_t index) const { return *items_.at(index); }

  // Offers the line to the enabled entries in order; false when none took it.
  bool HandleCommand(TIdContext& context, const std::string& line,
                     const TIdReplyPOP3& serverExceptionReply) const;

 private:
  std::vector<std::unique_ptr<TIdCommandHandler>> items_;
};

// A listener that reads command lines and answers them from its command table.
class TIdCmdTCPServer : public TIdCustomTCPServer {
 public:
  TIdCmdTCPServer();
  // Shuts down before the table and the replies the connection threads use go away.
  ~TIdCmdTCPServer() override;

  TIdReplyPOP3 Greeting;
  TIdReplyPOP3 ExceptionReply;
  TIdReplyPOP3 HelpReply;
  TIdReplyPOP3 MaxConnectionReply;
  TIdReplyPOP3 ReplyUnknownCommand;
  TIdCommandHandlers CommandHandlers;
  // One step of a connection's background work, done while the client has sent nothing: true
  // when there may be more. A step must end in bounded time, as the client's next command waits
  // for it. Runs on the connection's thread.
  std::function<bool(TIdContext&)> OnIdle;

  // Reads one line and answers it; false when the connection is down. Raises EIdIdleTimeout
  // when no line came within IdleTimeout.
  bool DoExecute(TIdContext& context) override;

  // Builds the table (once; later activations keep it). Public so that tests and fuzzers can
  // drive the table without activating the listener.
  void InitializeCommandHandlers() override;

 protected:
  // Subclasses add their entries here; the Help entry is appended after them.
  virtual void InitializeCommands() {}
  void DoConnect(TIdContext& context) override;
  void SendMaxConnectionReply(TIdTCPConnection& connection) override;

 private:
  bool commandsInitialized_ = false;
};

// Writes a reply in one send.
void SendReply(TIdIOHandlerStack& io, const TIdReplyPOP3& reply);

}  // namespace quillbox
