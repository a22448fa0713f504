// The judgments of a session's senders: each sender address judged once a session, a verdict
// kept across sessions used as it is, every other judgment on the process's scheduler, its log
// lines collected and written when its verdict is used, so that each message's lines stay together.
// The session's DNS allow-list zones are asked in the same judgment, unless their answers are kept
// too. The allow lists are applied when a verdict is used, so that a list read again counts at
// once, also for verdicts kept from before.
#include "judge/IdDNSResolver.h"
#include "judge/SenderAddress.h"
#include "net/IdException.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/Quillbox_Main.h"

namespace quillbox {
namespace {

// How long a wait for a verdict goes without a look at the client: one that hung up is noticed
// this soon, and its connection ends instead of waiting for a lookup nobody needs.
constexpr auto kVerdictWaitSlice = std::chrono::milliseconds(250);

// The key of a DNS server in the caches: the rule file's text and the port.
std::string DnsServerKey(const std::string& server, int port) {
  return server + " " + std::to_string(port);
}

// The verdict with every allow list applied; a zone's error logged once a session.
TVerdict Allowed(LogSink& log, TMyPOP3ServerContext& c, const TJudged& judged,
                 const TAllowList& shared) {
  for (const TZoneAnswer& answer : judged.Zones) {
    if (answer.Kind == TZoneAnswer::TKind::kError && c.ZoneErrorsLogged.insert(answer.Zone).second)
      log.AddToMemo(ZoneErrorLine(answer));
  }
  TVerdict verdict = judged.Verdict;
  shared.Apply(verdict, log);
  if (c.OwnAllow)
    c.OwnAllow->Apply(verdict, log);
  ApplyZoneAnswers(verdict, judged.Zones, log);
  return verdict;
}

}  // namespace

std::shared_ptr<TJudgment> TQuillboxProxy::JudgeSender(TMyPOP3ServerContext& c,
                                                       const std::string& address,
                                                       TJudgmentUrgency urgency) {
  if (const auto found = c.JudgedSenders.find(address); found != c.JudgedSenders.end())
    return found->second;
  if (c.JudgedSenders.size() >= TMyPOP3ServerContext::kJudgedSenders)
    c.JudgedSenders.clear();
  const std::string server = DnsServerKey(c.DNSServer, DNSPort);
  std::optional<TJudged> kept = VerdictCache.Find(server, address);
  if (kept)
    kept->Verdict.Cached = true;
  TZoneAnswers zones;
  bool ask = false;
  // A kept verdict that no list can change needs no zone asked.
  for (const std::string& zone :
       kept && !Allowable(kept->Verdict) ? std::vector<std::string>() : c.AllowZones) {
    zones.emplace_back(zone, ZoneAnswers.Find(server, zone, address));
    ask = ask || !zones.back().second;
  }
  std::shared_ptr<TJudgment> judgment;
  if (kept && !ask) {
    for (auto& [zone, answer] : zones)
      kept->Zones.push_back(std::move(*answer));
    judgment = TJudgment::Done(std::move(*kept));
  } else {
    // The job may outlive the connection: it takes nothing of the context.
    TIdStack& stack = ReverseLookupStack ? *ReverseLookupStack : GStack();
    judgment =
        Judgments.Start(c.JudgmentSession.Id(), urgency,
                        [this, &stack, dnsServer = c.DNSServer, address, kept,
                         zones](const std::atomic<bool>& cancel) {
                          return JudgeOnScheduler(stack, cancel, dnsServer, address, kept, zones);
                        });
  }
  c.JudgedSenders.emplace(address, judgment);
  return judgment;
}

TJudged TQuillboxProxy::JudgeOnScheduler(TIdStack& stack, const std::atomic<bool>& cancel,
                                         const std::string& dnsServer, const std::string& address,
                                         const std::optional<TJudged>& kept,
                                         const TZoneAnswers& zones) {
  const std::string server = DnsServerKey(dnsServer, DNSPort);
  TIdDNSResolver resolver;
  resolver.Port = DNSPort;
  resolver.Cancel = &cancel;
  std::vector<std::string> ask;
  for (const auto& [zone, answer] : zones) {
    if (!answer)
      ask.push_back(zone);
  }
  TZoneLookups lookups({dnsServer, DNSPort, resolver.WaitingTime, &cancel}, ask, address);
  TJudged judged;
  if (kept) {
    judged = *kept;
  } else {
    // Taken before the rules: a verdict that new rules would judge otherwise is not kept.
    const uint64_t generation = VerdictCache.Generation();
    const auto lists = JudgeFiles.Current();
    LogLines log;
    judged.Verdict = CheckByS25R(log, resolver, stack, dnsServer, lists->Rules, address);
    judged.Lines = std::move(log.Lines);
    VerdictCache.Store(server, judged, generation);
  }
  const std::vector<TZoneAnswer> asked = lookups.Answers();
  auto next = asked.begin();
  for (const auto& [zone, answer] : zones) {
    judged.Zones.push_back(answer ? *answer : *next++);
    if (!answer)
      ZoneAnswers.Store(server, address, judged.Zones.back());
  }
  return judged;
}

THeaderJudgment TQuillboxProxy::StartJudgment(TMyPOP3ServerContext& c,
                                              const std::vector<std::string>& header,
                                              TJudgmentUrgency urgency) {
  THeaderJudgment prefetched;
  prefetched.Digest = HeaderDigest(header);
  std::vector<std::string> unfolded = header;
  UnfoldHeader(unfolded);
  LogLines log;
  const auto selected =
      SelectReceived(unfolded, c.MatchString, c.SelectFrom, c.ReceivedMatcher, log);
  prefetched.Lines = std::move(log.Lines);
  if (const auto address = selected ? SenderAddress(*selected) : std::nullopt)
    prefetched.Judgment = JudgeSender(c, *address, urgency);
  return prefetched;
}

TVerdict TQuillboxProxy::AwaitVerdict(LogSink& log, TMyPOP3ServerContext& c,
                                      const THeaderJudgment& prefetched, bool lookAheadMeanwhile) {
  for (const std::string& line : prefetched.Lines)
    log.AddToMemo(line);
  if (!prefetched.Judgment)
    return TVerdict();
  const TJudged& judged = AwaitJudgment(c, *prefetched.Judgment, lookAheadMeanwhile);
  for (const std::string& line : judged.Lines)
    log.AddToMemo(line);
  return Allowed(log, c, judged, *JudgeFiles.Current()->Allow);
}

const TJudged& TQuillboxProxy::AwaitJudgment(TMyPOP3ServerContext& c, TJudgment& judgment,
                                             bool lookAhead) {
  Judgments.Hurry(judgment);
  TIdIOHandlerStack& client = c.Connection().IOHandler();
  while (!judgment.Done()) {
    if (client.PeerHungUp()) {
      Judgments.Drop(c.JudgmentSession.Id());
      throw EIdWatchedPeerGone();
    }
    // One step is one exchange with the real server, whose wait watches the client as well; the
    // look-ahead stops taking steps once it has nothing to do for now.
    if (lookAhead && (lookAhead = LookAheadStep(c)))
      continue;
    Judgments.WaitFor(judgment, kVerdictWaitSlice);
  }
  return judgment.Result();
}

}  // namespace quillbox
