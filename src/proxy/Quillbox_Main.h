#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/LogSink.h"
#include "history/HistoryWriter.h"
#include "judge/AllowZones.h"
#include "judge/JudgeFiles.h"
#include "judge/JudgmentScheduler.h"
#include "judge/S25R.h"
#include "judge/VerdictCache.h"
#include "net/IdStack.h"
#include "pop3/IdPOP3Server.h"
#include "proxy/ConnectionIndicator.h"
#include "proxy/MyPOP3ServerContext.h"
#include "proxy/RefusalLog.h"
#include "proxy/SessionLog.h"

namespace quillbox {

// The proxy: the POP3 listener the mail client talks to and the handlers that log in to the
// real server named in the login name "user#host:port;rulefile", relay every command, and add
// the four sender header lines to every retrieved message. The front ends derive their main
// window core from it.
//
// The handlers run on the connection threads, concurrently for different clients; each uses
// only its own context, the thread-safe JudgeFiles (the rules and allow list in use, which a
// login may read again), the calling thread's matcher, the thread-safe caches and the log. The
// judgments run on the threads of Judgments, with copies of what they need, the lists in use
// when they start, the lookups' stacks (thread-safe) and the caches, never the context.
// The access check runs on the listener threads and uses the thread-safe refusal log.
// AllowConnectionFromOutside and RequireTLSFromOutside may be changed from any thread. Everything
// else is set up before the listener is activated. A derived class whose members the handlers
// reach must deactivate IdPOP3Server in its own destructor.
class TQuillboxProxy : public TS25RJudgment {
 public:
  TQuillboxProxy(LogSink& log, ConnectionIndicator& indicator);
  ~TQuillboxProxy() override;
  TQuillboxProxy(const TQuillboxProxy&) = delete;
  TQuillboxProxy& operator=(const TQuillboxProxy&) = delete;

  TIdPOP3Server IdPOP3Server;
  std::atomic<bool> AllowConnectionFromOutside{false};
  // A client that is not on this machine must start TLS before USER and PASS.
  std::atomic<bool> RequireTLSFromOutside{true};
  // Milliseconds the TLS handshake of a client on this machine may take: its mail client may hold
  // the handshake while a person reads its certificate prompt. A client from outside has
  // IdPOP3Server.TLSHandshakeTimeout. Set before activation.
  int LocalTLSHandshakeTimeout = 120000;

  // Where the sender judgment of every connection looks names up. By default the process's name
  // service and DNS port 53; tests point them at fakes. Set before activation.
  TIdStack* ReverseLookupStack = nullptr;
  int DNSPort = 53;

  // Where every message judged for a client (RETR, annotated TOP) goes as a row; none: no
  // history. Set before activation.
  HistorySink* History = nullptr;

  // Makes every connection a TMyPOP3ServerContext and routes every event to the handlers below.
  void AssignEvents();

  // Connection and login (access check, login name, rule file, upstream login). The access
  // check runs on the listener thread before the connection counts against MaxConnections.
  bool IdPOP3ServerAdmit(TIdTCPConnection& connection, bool tls);
  void IdPOP3ServerConnect(TIdContext& context);
  void IdPOP3ServerCheckUser(TIdPOP3ServerContext& context, TIdPOP3ServerContext& serverContext);
  void IdPOP3ServerDisconnect(TIdContext& context);
  void IdPOP3ServerException(TIdContext& context, const std::exception& error);
  void IdPOP3ServerTLSStarted(TIdContext& context);

  // Relays.
  void IdPOP3ServerSTAT(TIdCommand& command, int& count, int& size);
  void IdPOP3ServerLIST(TIdCommand& command, int messageNumber);
  void IdPOP3ServerUIDL(TIdCommand& command, int messageNumber);
  void IdPOP3ServerTOP(TIdCommand& command, int messageNumber, int lines);
  void IdPOP3ServerDELEte(TIdCommand& command, int messageNumber);
  void IdPOP3ServerReSET(TIdCommand& command);
  void IdPOP3ServerQUIT(TIdCommand& command);
  void IdPOP3ServerCAPA(TIdContext& context, std::vector<std::string>& capabilities);

  // Retrieval with the sender annotation.
  void IdPOP3ServerRETRieve(TIdCommand& command, int messageNumber);

  // One step of the look-ahead (the command layer's idle work): the proxy's own STAT, or the next
  // headers by TOP (several at once to a server that offers PIPELINING), their judgments started.
  // False when there is nothing to do. A failure stops the look-ahead for the session.
  bool LookAheadStep(TMyPOP3ServerContext& c);

  // The S25R rules and the shared allow list: loaded at start-up, looked at again at each login.
  TJudgeFiles JudgeFiles;
  // Verdicts and DNS allow-list answers kept across the sessions of this proxy (one per
  // process).
  TVerdictCache VerdictCache;
  TZoneAnswerCache ZoneAnswers;
  // The threads that judge every connection's senders. After the members its jobs use, so that
  // its threads have ended before those go.
  TJudgmentScheduler Judgments;

 private:
  // Sends request (RETR or TOP) upstream and relays its answer, a message or the start of one,
  // with the verdict's four lines where the header ends and forged names renamed. The verdict of
  // prefetched serves when the answer's header is the one pre-fetched; any other header is
  // judged.
  void RelayAnnotatedAnswer(TIdCommand& command, LogSink& log, const std::string& request,
                            const std::optional<THeaderJudgment>& prefetched);
  std::optional<THeaderJudgment> Prefetch(LogSink& log, TMyPOP3ServerContext& c, int number);
  // The header's digest and sender (none: Unknown), whose judgment is started, or found when the
  // session or the verdict cache has one; urgent when the client waits for it.
  THeaderJudgment StartJudgment(TMyPOP3ServerContext& c, const std::vector<std::string>& header,
                                TJudgmentUrgency urgency);
  std::shared_ptr<TJudgment> JudgeSender(TMyPOP3ServerContext& c, const std::string& address,
                                         TJudgmentUrgency urgency);
  // The session's zones, each with its answer when one is kept.
  using TZoneAnswers = std::vector<std::pair<std::string, std::optional<TZoneAnswer>>>;
  // One sender's judgment on a scheduler thread: the S25R verdict unless one is kept, and the
  // zones whose answers are not kept asked meanwhile. What it finds is kept for later sessions.
  TJudged JudgeOnScheduler(TIdStack& stack, const std::atomic<bool>& cancel,
                           const std::string& dnsServer, const std::string& address,
                           const std::optional<TJudged>& kept, const TZoneAnswers& zones);
  // The judgment's result once it is done; the client waits for it from now on. Meanwhile the
  // look-ahead takes its steps when asked (the upstream connection must be between answers),
  // and the client is looked at every kVerdictWaitSlice: one that hung up ends the wait with
  // EIdWatchedPeerGone, its session's judgments dropped.
  const TJudged& AwaitJudgment(TMyPOP3ServerContext& c, TJudgment& judgment, bool lookAhead);
  // The verdict once its judgment is done, with the allow lists applied (the shared one in use
  // now, the rule file's own, the DNS zones), the selection's and the judgment's log lines
  // written to log first. While it is not done, the look-ahead goes on if asked (the upstream
  // connection must be between answers).
  TVerdict AwaitVerdict(LogSink& log, TMyPOP3ServerContext& c, const THeaderJudgment& prefetched,
                        bool lookAheadMeanwhile);
  // The login name's rule file and the login at the real server.
  void LogIn(TMyPOP3ServerContext& c);
  void RelayListing(TIdCommand& command, const std::string& verb, int messageNumber,
                    const char* replyPrefix);
  // The log of a connection's handlers, with its password masked.
  TSessionLog SessionLog(TMyPOP3ServerContext& c) { return TSessionLog(memo_, c.UpstreamPassword); }

  // The log view, which every connection's lines reach (through a TSessionLog).
  LogSink& memo_;
  ConnectionIndicator& indicator_;
  TRefusalLog refusalLog_{memo_};
};

}  // namespace quillbox
