// The report's facts come from the proxy's own code (rule file, selection, judgment, allow
// lists, the four lines); what is added here only explains them and doubts the selection.
#include "proxy/SenderReport.h"

#include <algorithm>
#include <exception>
#include <set>

#include "base/SysUtils.h"
#include "judge/BRegExp.h"
#include "judge/JudgmentScheduler.h"
#include "judge/ReceivedLine.h"
#include "judge/ReservedBlocks.h"
#include "judge/SenderAddress.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/MessageAnnotation.h"
#include "proxy/ReceivedHop.h"
#include "proxy/RuleFile.h"

namespace quillbox {
namespace {

std::string LineNumbers(const std::vector<size_t>& lines) {
  std::string text;
  for (const size_t line : lines)
    text += (text.empty() ? "" : ", ") + std::to_string(line + 1);
  return text;
}

// Lines above the selected one that a host outside the provider's servers handed over: the
// provider is whoever received the selected line and every line above it.
void WarnOutsideAbove(TSenderReport& report) {
  std::set<std::string> provider;
  for (size_t i = 0; i <= *report.Selected; ++i) {
    const TReceivedHop hop = ParseReceived(report.Received[i]);
    if (!hop.By.empty())
      provider.insert(RegistrableDomain(hop.By));
  }
  std::vector<size_t> outside;
  std::string first;
  for (size_t i = 0; i < *report.Selected; ++i) {
    const TReceivedHop hop = ParseReceived(report.Received[i]);
    const bool own = std::any_of(hop.FromNames.begin(), hop.FromNames.end(), [&](const auto& n) {
      return provider.count(RegistrableDomain(n)) > 0;
    });
    if (!hop.HasFrom || own || (hop.FromAddress && IsInternalAddress(*hop.FromAddress)))
      continue;
    if (outside.empty())
      first = !hop.FromNames.empty() ? hop.FromNames.front() : hop.FromAddress.value_or("?");
    outside.push_back(i);
  }
  if (!outside.empty()) {
    report.Warnings.push_back(
        {TWarningKind::kOutsideAbove,
         "line " + LineNumbers(outside) + " above the selected one names " + first +
             ", a host outside the provider: with SelectFrom=Top the match string should "
             "select the first line a host outside handed the message over in",
         outside});
  }
}

// Without a selection: the lines that the provider's servers wrote, received by the domain of
// the topmost line, which the user's own provider always writes.
void WarnNothingSelected(TSenderReport& report) {
  std::string domain;
  std::vector<size_t> own;
  for (size_t i = 0; i < report.Received.size(); ++i) {
    const TReceivedHop hop = ParseReceived(report.Received[i]);
    if (hop.By.empty())
      continue;
    if (domain.empty())
      domain = RegistrableDomain(hop.By);
    if (RegistrableDomain(hop.By) == domain)
      own.push_back(i);
  }
  std::string text = report.Received.empty()
                         ? "the header has no Received: line: the status is Unknown"
                         : "the match string selects no Received: line: the status is Unknown";
  if (!own.empty())
    text += "; the lines received by " + domain + " are " + LineNumbers(own);
  report.Warnings.push_back({TWarningKind::kNothingSelected, text, own});
}

void AddWarnings(TSenderReport& report) {
  if (!report.Selected) {
    WarnNothingSelected(report);
    return;
  }
  if (report.Address.empty()) {
    report.Warnings.push_back({TWarningKind::kNothingSelected,
                               "the text selected in line " + std::to_string(*report.Selected + 1) +
                                   " holds no address: the status is Unknown",
                               {*report.Selected}});
    return;
  }
  if (const auto block = SpecialPurposeBlock(report.Address)) {
    const std::string why = IsInternalAddress(report.Address)
                                ? "is the selected line one of the provider's own hops?"
                                : "is the selected line one the sender wrote himself?";
    report.Warnings.push_back({TWarningKind::kSpecialAddress,
                               "the sender's address " + report.Address + " is a " + *block +
                                   " address (RFC 6890), from which no host on the Internet "
                                   "sends: " +
                                   why,
                               {*report.Selected}});
  }
  if (report.From == TSelectFrom::kTop)
    WarnOutsideAbove(report);
}

}  // namespace

TJudgeSetup LoadJudgeSetup(const std::string& ruleFile, std::shared_ptr<const TJudgeLists> lists) {
  TJudgeSetup setup;
  setup.RuleFile = ruleFile;
  setup.Lists = std::move(lists);
  if (!ruleFile.empty())
    ReadRuleFile(ruleFile, setup.Session);
  // The proxy meets these expressions only when it matches them; the reason it would answer is
  // the one raised here.
  try {
    SharedRegExp().Match("m" + setup.Session.MatchString, "");
    for (const std::string& rule : setup.Lists->Rules)
      SharedRegExp().Match("m" + rule, "");
  } catch (const EBRegExpError& e) {
    throw ERuleFileError(e.Message());
  }
  return setup;
}

std::string WarningKindName(TWarningKind kind) {
  switch (kind) {
    case TWarningKind::kSpecialAddress:
      return "special-address";
    case TWarningKind::kOutsideAbove:
      return "outside-host-above";
    case TWarningKind::kNothingSelected:
      return "nothing-selected";
    case TWarningKind::kHeaderTooLong:
      return "header-too-long";
  }
  return "";
}

TSenderReport SelectSender(const TJudgeSetup& setup, const std::vector<std::string>& header) {
  TSenderReport report;
  report.From = setup.Session.SelectFrom;
  std::vector<std::string> unfolded = header;
  UnfoldHeader(unfolded);
  for (std::string& line : unfolded) {
    if (StartsText("Received:", line))
      report.Received.push_back(std::move(line));
  }
  LogLines log;
  const size_t count = report.Received.size();
  for (size_t k = 0; k < count && !report.Selected; ++k) {
    const size_t i = report.From == TSelectFrom::kTop ? k : count - 1 - k;
    if (auto matched = SelectReceived({report.Received[i]}, setup.Session.MatchString, report.From,
                                      SharedRegExp(), log)) {
      report.Selected = i;
      report.Matched = std::move(*matched);
      report.Address = SenderAddress(report.Matched).value_or("");
    }
  }
  report.Log = std::move(log.Lines);
  if (report.Address.empty())
    report.Annotation = AnnotationLines(report.Verdict);
  AddWarnings(report);
  return report;
}

TSenderReport ReportOfMessage(const TJudgeSetup& setup, const TInputMessage& message) {
  TSenderReport report;
  if (message.TooLong) {
    report.Annotation = AnnotationLines(report.Verdict);
    report.Warnings.push_back({TWarningKind::kHeaderTooLong,
                               "the header is longer than the proxy holds (1 MiB): the sender is "
                               "not judged",
                               {}});
  } else {
    report = SelectSender(setup, message.Header);
  }
  report.Source = message.Source;
  return report;
}

void LookUpReports(std::vector<TSenderReport>& reports, const TJudgeSetup& setup, TIdStack& stack,
                   int dnsPort, const std::atomic<bool>& cancel) {
  std::vector<std::string> addresses;
  for (const TSenderReport& report : reports) {
    if (!report.Address.empty())
      addresses.push_back(report.Address);
  }
  const auto lookups = LookUpAll(
      addresses,
      [&](const std::string& address, const std::atomic<bool>& stop) {
        return LookUpSender(setup, stack, dnsPort, stop, address);
      },
      cancel);
  for (TSenderReport& report : reports) {
    if (const auto found = lookups.find(report.Address); found != lookups.end())
      CompleteReport(report, setup, found->second);
  }
}

std::optional<std::string> TypedAddress(std::string text) {
  text = Trim(text);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (StartsText("IPv6:", text))
    text.erase(0, 5);
  if (CanonicalDottedIPv4(text) || ParseIPv6(text))
    return SenderAddress(text);
  return std::nullopt;
}

TSenderReport AddressReport(const std::string& address) {
  TSenderReport report;
  report.Address = address;
  return report;
}

TSenderLookup LookUpSender(const TJudgeSetup& setup, TIdStack& stack, int dnsPort,
                           const std::atomic<bool>& cancel, const std::string& address) {
  const auto start = std::chrono::steady_clock::now();
  TSenderLookup lookup;
  TIdDNSResolver resolver;
  resolver.Port = dnsPort;
  resolver.Cancel = &cancel;
  const std::string& server = setup.Session.DNSServer;
  TZoneLookups zones({server, dnsPort, resolver.WaitingTime, &cancel}, setup.Session.AllowZones,
                     address);
  LogLines log;
  TForwardLookup forward;
  TS25RJudgment judgment;
  lookup.Judged.Verdict =
      judgment.CheckByS25R(log, resolver, stack, server, setup.Lists->Rules, address, &forward);
  lookup.Judged.Lines = std::move(log.Lines);
  lookup.Judged.Zones = zones.Answers();
  lookup.Forward = std::move(forward.Addresses);
  lookup.Took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return lookup;
}

void CompleteReport(TSenderReport& report, const TJudgeSetup& setup, const TSenderLookup& lookup) {
  report.Lookup = lookup;
  TVerdict verdict = lookup.Judged.Verdict;
  LogLines log;
  for (const TZoneAnswer& answer : lookup.Judged.Zones) {
    if (answer.Kind == TZoneAnswer::TKind::kError)
      log.AddToMemo(ZoneErrorLine(answer));
  }
  setup.Lists->Allow->Apply(verdict, log);
  if (setup.Session.OwnAllow)
    setup.Session.OwnAllow->Apply(verdict, log);
  ApplyZoneAnswers(verdict, lookup.Judged.Zones, log);
  const int rule = verdict.AllowedBy ? verdict.AllowedBy->Rule : verdict.Rule;
  if (rule > 0 && static_cast<size_t>(rule) <= setup.Lists->Rules.size())
    report.RuleText = setup.Lists->Rules[rule - 1];
  report.Verdict = verdict;
  report.Annotation = AnnotationLines(verdict);
  report.Log.insert(report.Log.end(), lookup.Judged.Lines.begin(), lookup.Judged.Lines.end());
  report.Log.insert(report.Log.end(), log.Lines.begin(), log.Lines.end());
}

std::map<std::string, TSenderLookup> LookUpAll(const std::vector<std::string>& addresses,
                                               const TLookUp& lookUp,
                                               const std::atomic<bool>& cancel) {
  std::vector<std::string> distinct;
  std::set<std::string> seen;
  for (const std::string& address : addresses) {
    if (seen.insert(address).second)
      distinct.push_back(address);
  }
  // found[i] is written by the job of distinct[i] and read once that job is done.
  std::vector<std::optional<TSenderLookup>> found(distinct.size());
  TJudgmentScheduler scheduler(kConcurrentLookups);
  const uint64_t session = TJudgmentScheduler::NewSession();
  std::vector<std::shared_ptr<TJudgment>> jobs;
  for (size_t i = 0; i < distinct.size(); ++i) {
    jobs.push_back(
        scheduler.Start(session, TJudgmentUrgency::kWaiting, [&, i](const std::atomic<bool>&) {
          found[i] = lookUp(distinct[i], cancel);
          return found[i]->Judged;
        }));
  }
  std::map<std::string, TSenderLookup> lookups;
  for (size_t i = 0; i < distinct.size(); ++i) {
    while (!scheduler.WaitFor(*jobs[i], std::chrono::milliseconds(100))) {
      if (cancel)
        scheduler.Drop(session);
    }
    if (cancel)
      continue;
    try {
      jobs[i]->Result();
    } catch (...) {
      scheduler.Drop(session);
      throw;
    }
    lookups.emplace(distinct[i], std::move(*found[i]));
  }
  return lookups;
}

}  // namespace quillbox
