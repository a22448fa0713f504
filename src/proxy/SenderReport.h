#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "judge/AllowZones.h"
#include "judge/JudgeFiles.h"
#include "judge/S25R.h"
#include "net/IdStack.h"
#include "proxy/MessageSource.h"
#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// What a sender is judged with: the values of one rule file, as a login reads it, and the
// shared rules and allow list. Immutable once loaded; share it between threads freely.
struct TJudgeSetup {
  std::string RuleFile;  // empty: none given, the proxy's defaults
  TProxySession Session;
  std::shared_ptr<const TJudgeLists> Lists;
};

// Reads ruleFile as a login does (ReadRuleFile; none: the defaults) and checks its MatchString
// and the S25R rules with the matcher, which the proxy would only meet at a retrieval. Raises
// ERuleFileError whose message is the text the proxy answers after "-ERR".
TJudgeSetup LoadJudgeSetup(const std::string& ruleFile, std::shared_ptr<const TJudgeLists> lists);

// The kinds of doubt a report raises about its selection or its files.
enum class TWarningKind { kSpecialAddress, kOutsideAbove, kNothingSelected, kHeaderTooLong };
std::string WarningKindName(TWarningKind kind);  // "special-address", ... for scripts

struct TReportWarning {
  TWarningKind Kind;
  std::string Text;
  std::vector<size_t> Lines;  // Received: lines it points at, by index
};

// What the lookups found for one sender address, before any allow list.
struct TSenderLookup {
  TJudged Judged;                    // verdict, log lines and zone answers
  std::vector<std::string> Forward;  // every address of the forward lookup
  std::chrono::milliseconds Took{0};
};

// Everything there is to say about one message's sender, as the proxy would judge it.
struct TSenderReport {
  std::string Source;                 // where the message came from ("mail.mbox #3")
  std::vector<std::string> Received;  // the unfolded Received: lines, top first
  TSelectFrom From = TSelectFrom::kBottom;
  std::optional<size_t> Selected;       // index into Received
  std::string Matched;                  // the text the match string selected
  std::string Address;                  // the sender's address; empty: none (Unknown)
  std::optional<TSenderLookup> Lookup;  // none: not looked up (--no-dns, or no address)
  TVerdict Verdict;                     // with the allow lists applied
  std::string RuleText;                 // the rule that matched, as it stands in the rules
  std::vector<std::string> Annotation;  // the four lines as the proxy inserts them
  std::vector<TReportWarning> Warnings;
  std::vector<std::string> Log;  // lines the matcher and the allow lists wrote
};

// The selection part of a report: the proxy's walk over the unfolded header for the match
// string (each line tried alone, so that the report knows which one), the address in the text
// matched, and the warnings about it. Raises EBRegExpError as the proxy's selection does.
TSenderReport SelectSender(const TJudgeSetup& setup, const std::vector<std::string>& header);
// The key of an address a person typed: a dotted quad or an IPv6 address, whole, optionally in
// brackets or after "IPv6:"; nothing for any other text.
std::optional<std::string> TypedAddress(std::string text);
// A report on an address alone, with nothing selected.
TSenderReport AddressReport(const std::string& address);

// Looks up one address as the proxy's judgment does (reverse lookup at stack, forward lookup
// and DNS allow-list zones at the rule file's DNS server on dnsPort). Thread-safe.
TSenderLookup LookUpSender(const TJudgeSetup& setup, TIdStack& stack, int dnsPort,
                           const std::atomic<bool>& cancel, const std::string& address);

// The verdict from the lookup, with the allow lists applied in the proxy's order (the shared
// list, the rule file's own, the zones), the matched rule's text and the four lines.
void CompleteReport(TSenderReport& report, const TJudgeSetup& setup, const TSenderLookup& lookup);

// Runs lookUp once for each distinct address, at most kConcurrentLookups at once, and returns
// the lookups by address. Blocks until all are done, or until cancel is set (the rest are then
// dropped). They run on a judgment scheduler of their own, as the proxy's run on its one.
inline constexpr size_t kConcurrentLookups = 16;
using TLookUp =
    std::function<TSenderLookup(const std::string& address, const std::atomic<bool>& cancel)>;
std::map<std::string, TSenderLookup> LookUpAll(const std::vector<std::string>& addresses,
                                               const TLookUp& lookUp,
                                               const std::atomic<bool>& cancel);

// The whole report of a message read from an input: its selection, or for a header too long to
// hold the proxy's Unknown with a warning. Its source is the message's.
TSenderReport ReportOfMessage(const TJudgeSetup& setup, const TInputMessage& message);

// Completes every report that has an address with its sender's lookup (LookUpAll over
// LookUpSender): what the command-line tester and the desktop's both do. Reports whose lookup
// was dropped by cancel stay without one.
void LookUpReports(std::vector<TSenderReport>& reports, const TJudgeSetup& setup, TIdStack& stack,
                   int dnsPort, const std::atomic<bool>& cancel);

// The report as text lines for a person; lines longer than width (0: no limit) are shortened
// with "...". Received: lines are numbered from 1 at the top.
std::vector<std::string> ReportText(const TSenderReport& report, size_t width);
// The report as one JSON object on one line.
std::string ReportJson(const TSenderReport& report);

// Counts over many reports: per status, per rule, per allow entry and per warning kind.
// Not thread-safe.
class TReportSummary {
 public:
  void Add(const TSenderReport& report);
  size_t Messages() const { return messages_; }
  std::vector<std::string> Lines() const;

 private:
  size_t messages_ = 0;
  std::map<std::string, size_t> statuses_, rules_, allowed_, warnings_;
};

}  // namespace quillbox
