#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "judge/AllowList.h"
#include "judge/IdDNSResolver.h"
#include "judge/JudgmentScheduler.h"
#include "judge/ReceivedLine.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "pop3/IdPOP3Server.h"
#include "proxy/LookAhead.h"
#include "proxy/UpstreamSecurity.h"

namespace quillbox {

// What one login sets up: the values of the user's rule file, of the real server and of the
// session's work. A refused login forgets them all, so that an attempt after it in the same
// connection starts from these defaults, whatever the refused one had got to.
struct TProxySession {
  std::vector<std::string> UpstreamCapabilities;  // CAPA lines of the real server at login
  std::string DNSServer;                          // from the rule file
  std::string UpstreamGreeting;
  std::string UpstreamHost;
  int UpstreamPort = 0;
  std::string MatchString;                        // from the rule file
  TSelectFrom SelectFrom = TSelectFrom::kBottom;  // from the rule file
  int MaxLines = 0;                               // from the rule file
  bool AnnotateTop = true;                        // from the rule file
  std::string UpstreamUser;
  TUpstreamSecuritySettings UpstreamSecurity;  // from the rule file's Upstream section
  // The password sent to the real server; the session's log and the replies to the client never
  // show it (TSessionLog, MaskPassword).
  std::string UpstreamPassword;
  TLookAhead LookAhead;  // depth from the rule file
  // The rule file's own allow list (none when it names no AllowFile) and DNS allow-list zones.
  std::shared_ptr<const TAllowList> OwnAllow;
  std::vector<std::string> AllowZones;
  // The zones whose error this session has logged: once a session says it.
  std::set<std::string> ZoneErrorsLogged;
  // The session's judgment of each sender address, so that each is judged once (also when two
  // messages of one sender are judged at once). Bounded by kJudgedSenders: then it starts anew.
  std::map<std::string, std::shared_ptr<TJudgment>> JudgedSenders;
  static constexpr size_t kJudgedSenders = 1000;
};

// Everything the proxy keeps for one mail-client connection: the connection to the real
// server, the lookup objects of the sender judgment and the values of its login. The listener
// creates one per accepted client and destroys it with the connection; destroying it closes the
// upstream connection without sending anything.
//
// Used only by its connection's thread, except Abort(), which any thread may call. The
// judgments get copies of what they need and never see the context: a connection's end does not
// wait for them.
class TMyPOP3ServerContext : public TIdPOP3ServerContext, public TProxySession {
 public:
  explicit TMyPOP3ServerContext(std::unique_ptr<TIdTCPConnection> connection);

  // Shutdown closes the client connection from another thread; a connection thread waiting
  // on a silent real server would still hang, so the upstream connection is closed too.
  void Abort() override;

  // After a refused login: the upstream connection closed (what it still held dropped, so that
  // it can connect anew) and every value of the session back to its default.
  void ForgetLogin();

  TIdTCPClient Upstream;
  // The matcher of the Received: selection, which runs on the connection's thread.
  TBRegExp ReceivedMatcher;
  // The proxy's scheduler runs this connection's judgments under its number (given when the
  // client connects); the connection's end drops those left.
  TJudgmentSession JudgmentSession;
};

}  // namespace quillbox
