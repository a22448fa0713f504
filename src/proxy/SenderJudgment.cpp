// The judgments of a session's senders: each sender address judged once a session, a verdict
// kept across sessions used as it is, every other judgment on the connection's pool, its log lines
// collected and written when its verdict is used, so that each message's lines stay together.
#include "judge/IdDNSResolver.h"
#include "proxy/Quillbox_Main.h"

namespace quillbox {
namespace {

// The key of a DNS server in the verdict cache: the rule file's text and the port.
std::string DnsServerKey(const std::string& server, int port) {
  return server + " " + std::to_string(port);
}

}  // namespace

std::shared_ptr<TJudgment> TQuillboxProxy::JudgeSender(TMyPOP3ServerContext& c,
                                                       const std::string& address, bool urgent) {
  if (const auto found = c.JudgedSenders.find(address); found != c.JudgedSenders.end())
    return found->second;
  if (c.JudgedSenders.size() >= TMyPOP3ServerContext::kJudgedSenders)
    c.JudgedSenders.clear();
  const std::string server = DnsServerKey(c.DNSServer, DNSPort);
  std::shared_ptr<TJudgment> judgment;
  if (auto cached = VerdictCache.Find(server, address)) {
    judgment = TJudgmentPool::Done(std::move(*cached));
  } else {
    TIdStack& stack = ReverseLookupStack ? *ReverseLookupStack : c.Stack;
    judgment = c.Judgments.Start(
        [this, &stack, &cancel = c.Judgments.Cancelled(), dnsServer = c.DNSServer, server, address,
         port = DNSPort] {
          const TJudgmentGate::TPass pass = JudgmentGate.Enter(cancel);
          LogLines log;
          TIdDNSResolver resolver;
          resolver.Port = port;
          resolver.Cancel = &cancel;
          TJudged judged{CheckByS25R(log, resolver, stack, dnsServer, S25RRules, address), {}};
          judged.Lines = std::move(log.Lines);
          VerdictCache.Store(server, judged);
          return judged;
        },
        urgent);
  }
  c.JudgedSenders.emplace(address, judgment);
  return judgment;
}

TPrefetched TQuillboxProxy::StartJudgment(TMyPOP3ServerContext& c,
                                          const std::vector<std::string>& header, bool urgent) {
  TPrefetched prefetched;
  prefetched.Digest = HeaderDigest(header);
  std::vector<std::string> unfolded = header;
  UnfoldHeader(unfolded);
  LogLines log;
  const auto selected = SelectReceived(unfolded, c.MatchString, c.SelectFrom, log);
  prefetched.Lines = std::move(log.Lines);
  if (const auto address = selected ? SenderAddress(*selected) : std::nullopt)
    prefetched.Judgment = JudgeSender(c, *address, urgent);
  return prefetched;
}

TVerdict TQuillboxProxy::VerdictOf(LogSink& log, TMyPOP3ServerContext& c,
                                   const TPrefetched& prefetched, bool lookAheadMeanwhile) {
  for (const std::string& line : prefetched.Lines)
    log.AddToMemo(line);
  if (!prefetched.Judgment)
    return TVerdict();
  std::function<bool()> meanwhile;
  if (lookAheadMeanwhile)
    meanwhile = [this, &c] { return LookAheadStep(c); };
  const TJudged& judged = c.Judgments.Wait(*prefetched.Judgment, meanwhile);
  for (const std::string& line : judged.Lines)
    log.AddToMemo(line);
  return judged.Verdict;
}

}  // namespace quillbox
