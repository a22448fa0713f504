#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "pop3/IdCmdTCPServer.h"

namespace quillbox {

// The run-time library's errors for a command argument that is not an integer and for a missing
// one; their messages reach the client after "-ERR".
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};
class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

// A POP3 connection's login state. Used by the connection's thread only.
class TIdPOP3ServerContext : public TIdContext {
 public:
  using TIdContext::TIdContext;

  std::string Username;
  std::string Password;
  bool LoggedIn = false;
};

// The POP3 server: the command table of the POP3 commands, the login gate, argument parsing
// and the events that do the work. Events are set before activation and run on connection
// threads; a routine fills cmd.Reply and cmd.Response or raises an Exception.
class TIdPOP3Server : public TIdCmdTCPServer {
 public:
  // The default IdleTimeout: RFC 1939's autologout timer, at least 10 minutes.
  static constexpr int kAutologoutMs = 10 * 60 * 1000;

  TIdPOP3Server();
  ~TIdPOP3Server() override;

  std::function<void(TIdPOP3ServerContext& context, TIdPOP3ServerContext& serverContext)>
      OnCheckUser;
  std::function<void(TIdCommand& cmd, int msg)> OnList;
  std::function<void(TIdCommand& cmd, int msg)> OnUIDL;
  std::function<void(TIdCommand& cmd, int msg)> OnRetrieve;
  std::function<void(TIdCommand& cmd, int msg)> OnDelete;
  std::function<void(TIdCommand& cmd, int msg, int lines)> OnTop;
  std::function<void(TIdCommand& cmd, int& count, int& size)> OnStat;
  std::function<void(TIdCommand& cmd)> OnReset;
  std::function<void(TIdCommand& cmd)> OnQuit;
  std::function<void(TIdContext& context, std::vector<std::string>& capabilities)> OnCAPA;
  // Whether a client must run TLS before USER and PASS are taken; unset: no client must.
  std::function<bool(TIdPOP3ServerContext& context)> RequireTLS;

 protected:
  void InitializeCommands() override;

 private:
  // The login gate of the commands that need a login: false (with the reply set) when the
  // connection is not logged in or the event is not assigned.
  bool LoginGate(TIdCommand& cmd, bool assigned);
  // Refuses USER and PASS in clear from a client that must run TLS first.
  bool PlainLoginRefused(TIdCommand& cmd);
  // Refuses USER and PASS once logged in: the session keeps the login it has, whole.
  bool SecondLoginRefused(TIdCommand& cmd);

  void CommandUSER(TIdCommand& cmd);
  void CommandPASS(TIdCommand& cmd);
  void CommandLIST(TIdCommand& cmd);
  void CommandRETR(TIdCommand& cmd);
  void CommandDELE(TIdCommand& cmd);
  void CommandUIDL(TIdCommand& cmd);
  void CommandSTAT(TIdCommand& cmd);
  void CommandTOP(TIdCommand& cmd);
  void CommandAPOP(TIdCommand& cmd);
  void CommandRSET(TIdCommand& cmd);
  void CommandQUIT(TIdCommand& cmd);
  void CommandSTLS(TIdCommand& cmd);
  void CommandCAPA(TIdCommand& cmd);
};

}  // namespace quillbox
