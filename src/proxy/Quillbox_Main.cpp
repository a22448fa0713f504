#include "proxy/Quillbox_Main.h"

#include "base/SysUtils.h"
#include "net/IdException.h"
#include "proxy/LocalClient.h"
#include "proxy/LoginName.h"
#include "proxy/RuleFile.h"
#include "proxy/UpstreamLines.h"
#include "proxy/UpstreamTLS.h"

namespace quillbox {
namespace {

constexpr const char* kOnlyLocal = "-ERR Only local connection is allowed.";
constexpr int kListenQueue = 128;
// Memory the real server's capabilities may take, and how much of its CAPA answer is read at most.
constexpr size_t kCapabilityBytes = 64 * 1024;
constexpr size_t kCapaAnswerBytes = 1024 * 1024;

// Logs a refused login with its prefix and raises the refusal for the mail client.
[[noreturn]] void Refuse(LogSink& log, const std::string& prefix, const std::string& message) {
  log.AddToMemo(prefix + message);
  throw EProxyError(message);
}

std::string NewConnectionLine(TIdIOHandlerStack& client) {
  return "C->P    New connection from " + client.PeerIP() + ":" +
         std::to_string(client.PeerPort()) + ".";
}

// Connection, TLS as the rule file asks for it, and the greeting.
void ConnectUpstream(LogSink& log, TMyPOP3ServerContext& c) {
  c.Upstream.Host = c.UpstreamHost;
  c.Upstream.Port = c.UpstreamPort;
  CheckUpstreamSecurity(log, c);
  log.AddToMemo("   P    Connecting to " + c.UpstreamHost);
  // The socket layer keeps only the low 16 bits of a port: 65646 would reach port 110. Port 0
  // and an empty host name no server, and the client connection would refuse them without a
  // reason.
  if (c.UpstreamPort < 1 || c.UpstreamPort > 65535) {
    throw EIdSocketError(10022);
  }
  if (c.UpstreamHost.empty()) {
    throw EIdSocketError(11001);
  }
  c.Upstream.Connect();
  // A message then arrives in parts large enough to go on to the client uncopied, and takes
  // fewer system calls.
  c.Upstream.IOHandler().RecvBufferSize = TIdDotTerminatedWriter::kChunk;
  log.AddToMemo("   P    Connected");
  StartUpstreamTLSIfImplicit(log, c);
  c.UpstreamGreeting = ReadUpstreamGreeting(log, c);
  log.AddToMemo("   P<-S " + c.UpstreamGreeting);
  NegotiateUpstreamSTLS(log, c);
}

// USER and PASS at the real server. A refusal is decided on the reply as received; the password
// is masked only where the reply is shown.
void LogInUpstream(LogSink& log, LogSink& unmaskedLog, TMyPOP3ServerContext& c) {
  const std::string user = "USER " + c.UpstreamUser;
  log.AddToMemo("   P->S " + user);
  SendUpstream(c, user);
  const std::string userReply = ReadUpstreamReply(c);
  log.AddToMemo("   P<-S " + userReply);
  if (IsErrReply(userReply)) {
    Refuse(log, "C<-P    ",
           "Quillbox sent " + Quoted(user) + " but received " + Quoted(userReply) +
               " from the actual POP3 server.");
  }

  log.AddToMemo("   P->S PASS ********");
  c.UpstreamPassword = c.Password;
  SendUpstream(c, "PASS " + c.Password);
  const std::string passReply = ReadUpstreamReply(c);
  log.AddToMemo("   P<-S " + passReply);
  if (IsErrReply(passReply)) {
    // The message quotes the reply, masked as the client sees it; masking the whole message
    // again would take the quoted reply's own "-ERR" for the password "-ERR".
    Refuse(unmaskedLog, "C<-P    -ERR ",
           "Quillbox sent " + Quoted(user + ", PASS ********") + " but received " +
               Quoted(MaskPassword(passReply, c.Password)) + " from the actual POP3 server.");
  }
}

// CAPA at the real server: its lines are merged into the proxy's own answer to CAPA, as many
// as fit into kCapabilityBytes; the rest of the answer is read and dropped. A refusal leaves the
// list empty and the login successful. An answer that goes on past kCapaAnswerBytes comes from a
// server that cannot be talked to: the login is refused and the upstream connection closed.
void ReadUpstreamCapabilities(LogSink& log, TMyPOP3ServerContext& c) {
  log.AddToMemo("   P->S CAPA");
  SendUpstream(c, "CAPA");
  const std::string capaReply = ReadUpstreamReply(c);
  log.AddToMemo("   P<-S " + capaReply);
  if (!capaReply.starts_with("+OK")) {
    return;
  }
  std::string line;
  for (size_t room = kCapabilityBytes;;) {
    switch (ReadUpstreamAnswerLine(c, line, room)) {
      case TAnswerLine::kLine:
        log.AddToMemo("   P<-S " + line);
        c.UpstreamCapabilities.push_back(std::move(line));
        break;
      case TAnswerLine::kEnd:
        log.AddToMemo("   P<-S .");
        return;
      case TAnswerLine::kTooLong:
        log.AddToMemo("   P    The rest of the CAPA answer is not kept: over 64 KiB");
        if (!SkipUpstreamAnswer(c, {.Spare = kCapaAnswerBytes})) {
          Refuse(log, "C<-P    -ERR ",
                 "Quillbox sent \"CAPA\" but the answer from the actual POP3 server did not end "
                 "within 1 MiB.");
        }
        return;
    }
  }
}

}  // namespace

TQuillboxProxy::TQuillboxProxy(LogSink& log, ConnectionIndicator& indicator)
    : memo_(log), indicator_(indicator) {
  // With a queue of 15, a burst of clients (several mail clients polling at once, or one with
  // many accounts) overflows it, and a client whose handshake the system then drops waits for a
  // greeting that never comes.
  IdPOP3Server.ListenQueue = kListenQueue;
}

TQuillboxProxy::~TQuillboxProxy() {
  IdPOP3Server.SetActive(false);
}

void TQuillboxProxy::AssignEvents() {
  TIdPOP3Server& s = IdPOP3Server;
  s.SetContextClass<TMyPOP3ServerContext>();
  s.OnAdmit = [this](TIdTCPConnection& c, bool tls) { return IdPOP3ServerAdmit(c, tls); };
  s.OnConnect = [this](TIdContext& c) { IdPOP3ServerConnect(c); };
  s.OnDisconnect = [this](TIdContext& c) { IdPOP3ServerDisconnect(c); };
  s.OnException = [this](TIdContext& c, const std::exception& e) { IdPOP3ServerException(c, e); };
  s.OnTLSStarted = [this](TIdContext& c) { IdPOP3ServerTLSStarted(c); };
  s.TLSHandshakeTimeoutOf = [this](TIdTCPConnection& c) {
    return IsLocalClient(c.IOHandler().PeerIP()) ? LocalTLSHandshakeTimeout
                                                 : IdPOP3Server.TLSHandshakeTimeout;
  };
  s.RequireTLS = [this](TIdPOP3ServerContext& c) {
    return RequireTLSFromOutside && !IsLocalClient(c.Connection().IOHandler().PeerIP());
  };
  s.OnCheckUser = [this](TIdPOP3ServerContext& c, TIdPOP3ServerContext& sc) {
    IdPOP3ServerCheckUser(c, sc);
  };
  s.OnStat = [this](TIdCommand& cmd, int& count, int& size) { IdPOP3ServerSTAT(cmd, count, size); };
  s.OnList = [this](TIdCommand& cmd, int n) { IdPOP3ServerLIST(cmd, n); };
  s.OnUIDL = [this](TIdCommand& cmd, int n) { IdPOP3ServerUIDL(cmd, n); };
  s.OnTop = [this](TIdCommand& cmd, int n, int lines) { IdPOP3ServerTOP(cmd, n, lines); };
  s.OnDelete = [this](TIdCommand& cmd, int n) { IdPOP3ServerDELEte(cmd, n); };
  s.OnReset = [this](TIdCommand& cmd) { IdPOP3ServerReSET(cmd); };
  s.OnQuit = [this](TIdCommand& cmd) { IdPOP3ServerQUIT(cmd); };
  s.OnCAPA = [this](TIdContext& c, std::vector<std::string>& caps) { IdPOP3ServerCAPA(c, caps); };
  s.OnRetrieve = [this](TIdCommand& cmd, int n) { IdPOP3ServerRETRieve(cmd, n); };
  s.OnIdle = [this](TIdContext& c) { return LookAheadStep(ProxyContext(c)); };
}

bool TQuillboxProxy::IdPOP3ServerAdmit(TIdTCPConnection& connection, bool tls) {
  TIdIOHandlerStack& client = connection.IOHandler();
  if (AllowConnectionFromOutside || IsLocalClient(client.PeerIP())) {
    return true;
  }
  // A client that speaks TLS from the first byte could not read the line in clear.
  if (tls) {
    refusalLog_.Refused(NewConnectionLine(client),
                        "   P    Only local connection is allowed: closed without a reply, as the "
                        "client speaks TLS.");
    return false;
  }
  refusalLog_.Refused(NewConnectionLine(client), std::string("C<-P    ") + kOnlyLocal);
  client.WriteLine(kOnlyLocal);
  return false;
}

void TQuillboxProxy::IdPOP3ServerConnect(TIdContext& context) {
  ProxyContext(context).JudgmentSession = TJudgmentSession(Judgments);
  memo_.AddToMemo(NewConnectionLine(context.Connection().IOHandler()));
  const std::vector<std::string>& greeting = IdPOP3Server.Greeting.Text();
  memo_.AddToMemo("C<-P    +OK " + (greeting.empty() ? std::string() : greeting.front()));
  indicator_.EnableTimer();
}

void TQuillboxProxy::IdPOP3ServerCheckUser(TIdPOP3ServerContext& context, TIdPOP3ServerContext&) {
  TMyPOP3ServerContext& c = ProxyContext(context);
  try {
    LogIn(c);
  } catch (...) {
    // The client may try again in this connection (with the right password, say): that attempt
    // must meet neither this one's upstream connection nor any of its values.
    c.ForgetLogin();
    throw;
  }
}

void TQuillboxProxy::LogIn(TMyPOP3ServerContext& c) {
  TSessionLog log = SessionLog(c);
  const TLoginName name = ParseLoginName(c.Username);
  if (name.Refused()) {
    Refuse(log, name.RefusalLogPrefix, name.Refusal);
  }
  c.UpstreamUser = name.User;
  c.UpstreamHost = name.Host;
  c.UpstreamPort = name.Port;
  // An edit of the rules or the allow list counts from the next login on, without a restart.
  bool rulesChanged = false;
  for (const std::string& line : JudgeFiles.Refresh(rulesChanged))
    log.AddToMemo("   P    " + line);
  if (rulesChanged)
    VerdictCache.Clear();
  try {
    ReadRuleFile(name.RuleFile, c);
  } catch (const ERuleFileError& e) {
    Refuse(log, "C<-P    -ERR ", e.Message());
  }
  log.AddToMemo("   P    Max lines: " + std::to_string(c.MaxLines));
  log.AddToMemo("   P    DNS Server: " + c.DNSServer);
  log.AddToMemo("   P    Match string: " + c.MatchString);
  if (c.OwnAllow) {
    log.AddToMemo("   P    Allow file: " + c.OwnAllow->Name() + ", " + c.OwnAllow->SizeText());
  }
  if (!c.AllowZones.empty()) {
    std::string zones;
    for (const std::string& zone : c.AllowZones)
      zones += (zones.empty() ? "" : ", ") + zone;
    log.AddToMemo("   P    Allow zones: " + zones);
  }
  log.AddToMemo("   P    User: " + c.UpstreamUser + ", Host: " + c.UpstreamHost +
                ", Port: " + std::to_string(c.UpstreamPort) + ", ConfigFile: " + name.RuleFile);

  ConnectUpstream(log, c);
  LogInUpstream(log, memo_, c);
  ReadUpstreamCapabilities(log, c);
  for (const std::string& capability : c.UpstreamCapabilities)
    c.LookAhead.Pipelining = c.LookAhead.Pipelining || SameText(capability, "PIPELINING");
}

void TQuillboxProxy::IdPOP3ServerDisconnect(TIdContext& context) {
  // A server over TLS learns that the session ended and was not cut off.
  ProxyContext(context).Upstream.DisconnectGracefully();
  memo_.AddToMemo("   P    Disconnected");
}

void TQuillboxProxy::IdPOP3ServerException(TIdContext&, const std::exception& error) {
  // An idle client is ended on purpose; the log says why instead of reporting an error.
  if (const auto* idle = dynamic_cast<const EIdIdleTimeout*>(&error)) {
    memo_.AddToMemo("   P    " + idle->Message());
    return;
  }
  if (const auto* tls = dynamic_cast<const EIdTLSError*>(&error))
    memo_.AddToMemo("   P    " + tls->Message());
  memo_.AddToMemo("   P    An exeption is occured.");
}

void TQuillboxProxy::IdPOP3ServerTLSStarted(TIdContext& context) {
  TIdIOHandlerStack& client = context.Connection().IOHandler();
  memo_.AddToMemo("   P    TLS with the client " + client.PeerIP() + ":" +
                  std::to_string(client.PeerPort()) + ": " + context.TLS->Protocol() + ", " +
                  context.TLS->Cipher());
}

}  // namespace quillbox
