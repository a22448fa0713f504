#include "proxy/Quillbox_Main.h"

#include <filesystem>

#include "base/SysUtils.h"
#include "net/IdException.h"
#include "proxy/CutToken.h"
#include "proxy/RuleFile.h"
#include "proxy/UpstreamLines.h"
#include "proxy/UpstreamTLS.h"

namespace quillbox {
namespace {

constexpr const char* kOnlyLocal = "-ERR Only local connection is allowed.";
constexpr int kListenQueue = 128;

// Only this address counts as this machine: another loopback address may be forwarded from
// anywhere.
bool IsLocal(const std::string& peer) {
  return peer == "127.0.0.1";
}

// Logs a refused login with its prefix and raises the refusal for the mail client.
[[noreturn]] void Refuse(LogSink& log, const std::string& prefix, const std::string& message) {
  log.AddToMemo(prefix + message);
  throw EProxyError(message);
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// A real server that echoes the password in its refusal must not get it into the log or the
// mail client's reply.
std::string WithoutPassword(std::string text, const std::string& password) {
  if (password.empty()) {
    return text;
  }
  for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 8)) {
    text.replace(at, password.size(), "********");
  }
  return text;
}

bool RuleFileExists(const std::string& fileName) {
  std::error_code error;
  return std::filesystem::is_regular_file(fileName, error);
}

}  // namespace

TQuillboxProxy::TQuillboxProxy(LogSink& log, ConnectionIndicator& indicator)
    : TS25RJudgment(log), indicator_(indicator) {
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
  s.OnConnect = [this](TIdContext& c) { IdPOP3ServerConnect(c); };
  s.OnDisconnect = [this](TIdContext& c) { IdPOP3ServerDisconnect(c); };
  s.OnException = [this](TIdContext& c, const std::exception& e) { IdPOP3ServerException(c, e); };
  s.OnTLSStarted = [this](TIdContext& c) { IdPOP3ServerTLSStarted(c); };
  s.RequireTLS = [this](TIdPOP3ServerContext& c) {
    return RequireTLSFromOutside && !IsLocal(c.Connection().IOHandler().PeerIP());
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
}

void TQuillboxProxy::IdPOP3ServerConnect(TIdContext& context) {
  TMyPOP3ServerContext& c = ProxyContext(context);
  c.Resolver.Port = DNSPort;
  TIdIOHandlerStack& client = context.Connection().IOHandler();
  const std::string peer = client.PeerIP();
  log_.AddToMemo("C->P    New connection from " + peer + ":" + std::to_string(client.PeerPort()) +
                 ".");
  if (AllowConnectionFromOutside || IsLocal(peer)) {
    const std::vector<std::string>& greeting = IdPOP3Server.Greeting.Text();
    log_.AddToMemo("C<-P    +OK " + (greeting.empty() ? std::string() : greeting.front()));
    indicator_.EnableTimer();
    return;
  }
  log_.AddToMemo(std::string("C<-P    ") + kOnlyLocal);
  client.WriteLine(kOnlyLocal);
  context.Connection().Disconnect();
}

void TQuillboxProxy::IdPOP3ServerCheckUser(TIdPOP3ServerContext& context, TIdPOP3ServerContext&) {
  TMyPOP3ServerContext& c = ProxyContext(context);
  std::string text = c.Username;
  if (text.find('#') == std::string::npos) {
    Refuse(log_, "C<-P    -ERR ", "Delimiter # is not found in the USER command.");
  }
  c.UpstreamUser = CutToken(text, '#');
  if (text.find(':') == std::string::npos) {
    Refuse(log_, "C<-P     -ERR ", "Delimiter : is not found in the USER command.");
  }
  c.UpstreamHost = CutToken(text, ':');
  if (text.find(';') == std::string::npos) {
    Refuse(log_, "C<-P     -ERR ", "Delimiter ; is not found in the USER command.");
  }
  c.UpstreamPort = StrToIntDef(CutToken(text, ';'), 110);
  const std::string ruleFile = text;
  if (ruleFile.empty()) {
    Refuse(log_, "C<-P    -ERR ", "Config file name is empty.");
  }
  if (!RuleFileExists(ruleFile)) {
    Refuse(log_, "C<-P    -ERR ", "Config file " + Quoted(ruleFile) + " is not existed.");
  }
  ReadRuleFile(ruleFile, c);
  log_.AddToMemo("   P    Max lines: " + std::to_string(c.MaxLines));
  log_.AddToMemo("   P    DNS Server: " + c.DNSServer);
  log_.AddToMemo("   P    Match string: " + c.MatchString);
  log_.AddToMemo("   P    User: " + c.UpstreamUser + ", Host: " + c.UpstreamHost +
                 ", Port: " + std::to_string(c.UpstreamPort) + ", ConfigFile: " + ruleFile);

  c.Upstream.Host = c.UpstreamHost;
  c.Upstream.Port = c.UpstreamPort;
  CheckUpstreamSecurity(log_, c);
  log_.AddToMemo("   P    Connecting to " + c.UpstreamHost);
  // The socket layer keeps only the low 16 bits of a port: 65646 would reach port 110.
  if (c.UpstreamPort < 0 || c.UpstreamPort > 65535) {
    throw EIdSocketError(10022);
  }
  c.Upstream.Connect();
  log_.AddToMemo("   P    Connected");
  StartUpstreamTLSIfImplicit(log_, c);
  c.UpstreamGreeting = ReadUpstreamGreeting(log_, c);
  log_.AddToMemo("   P<-S " + c.UpstreamGreeting);
  NegotiateUpstreamSTLS(log_, c);

  const std::string user = "USER " + c.UpstreamUser;
  log_.AddToMemo("   P->S " + user);
  SendUpstream(c, user);
  const std::string userReply = ReadUpstreamReply(c);
  log_.AddToMemo("   P<-S " + userReply);
  if (IsErrReply(userReply)) {
    Refuse(log_, "C<-P    ",
           "Quillbox sent " + Quoted(user) + " but received " + Quoted(userReply) +
               " from the actual POP3 server.");
  }

  log_.AddToMemo("   P->S PASS ********");
  SendUpstream(c, "PASS " + c.Password);
  const std::string passReply = WithoutPassword(ReadUpstreamReply(c), c.Password);
  log_.AddToMemo("   P<-S " + passReply);
  if (IsErrReply(passReply)) {
    Refuse(log_, "C<-P    -ERR ",
           "Quillbox sent " + Quoted(user + ", PASS ********") + " but received " +
               Quoted(passReply) + " from the actual POP3 server.");
  }

  log_.AddToMemo("   P->S CAPA");
  SendUpstream(c, "CAPA");
  const std::string capaReply = ReadUpstreamReply(c);
  log_.AddToMemo("   P<-S " + capaReply);
  if (!capaReply.starts_with("+OK")) {
    return;
  }
  std::string line;
  while (ReadUpstreamAnswerLine(c, line)) {
    log_.AddToMemo("   P<-S " + line);
    c.UpstreamCapabilities.push_back(line);
  }
  log_.AddToMemo("   P<-S .");
}

void TQuillboxProxy::IdPOP3ServerDisconnect(TIdContext&) {
  log_.AddToMemo("   P    Disconnected");
}

void TQuillboxProxy::IdPOP3ServerException(TIdContext&, const std::exception& error) {
  if (const auto* tls = dynamic_cast<const EIdTLSError*>(&error))
    log_.AddToMemo("   P    " + tls->Message());
  log_.AddToMemo("   P    An exeption is occured.");
}

void TQuillboxProxy::IdPOP3ServerTLSStarted(TIdContext& context) {
  TIdIOHandlerStack& client = context.Connection().IOHandler();
  log_.AddToMemo("   P    TLS with the client " + client.PeerIP() + ":" +
                 std::to_string(client.PeerPort()) + ": " + context.TLS->Protocol() + ", " +
                 context.TLS->Cipher());
}

}  // namespace quillbox
