#include "proxy/RuleSuggestion.h"

#include <algorithm>
#include <set>

#include "base/SysUtils.h"
#include "judge/ReceivedLine.h"
#include "judge/ReservedBlocks.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/ReceivedHop.h"
#include "proxy/SenderReport.h"

namespace quillbox {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr const char* kAddress = "(?:IPv6:)?[0-9a-f:.]+";

// How servers write the sending host's address and what follows it up to " by", each form as
// a pattern that begins at the bracket or parenthesis before the address; X is where the
// addresses of the provider's own hops are excluded.
struct TForm {
  const char* Open;
  const char* Close;
};
constexpr TForm kForms[] = {
    {"\\[", "\\]\\)"},                                  // "(name [addr]) by"
    {"\\[", "\\] \\(may be forged\\)\\)"},              // "(name [addr] (may be forged)) by"
    {"\\[", "\\] helo=[^ ()]+(?: ident=[^ ()]+)?\\)"},  // "(name [addr] helo=x) by"
    {"\\[", "\\] \\(helo=[^ ()]+\\)"},                  // "[addr] (helo=x) by"
    {"\\(", "\\)"},                                     // "(HELO x) (addr) by", "(addr) by"
};

struct TSample {
  std::string Source;
  std::vector<std::string> Header;  // unfolded
  std::vector<std::string> Received;
  std::optional<size_t> Chosen;
  std::string Address;
};

std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}/").find(c) != std::string_view::npos)
      out += '\\';
    out += c;
  }
  return out;
}

// A receiving host's name as a pattern: its first label's digits or, for a label that is mostly
// a serial code, the label itself may vary between a provider's servers.
std::string HostPattern(const std::string& host) {
  const size_t dot = host.find('.');
  std::string first = host.substr(0, dot);
  const std::string rest = dot == std::string::npos ? "" : host.substr(dot);
  size_t digitRuns = 0;
  for (size_t i = 0; i < first.size(); ++i)
    digitRuns += IsDigit(first[i]) && (i == 0 || !IsDigit(first[i - 1]));
  std::string pattern;
  if (digitRuns >= 2) {
    pattern = "[a-z0-9-]+";
  } else {
    for (size_t i = 0; i < first.size(); ++i) {
      if (!IsDigit(first[i]))
        pattern += Escaped(first.substr(i, 1));
      else if (i == 0 || !IsDigit(first[i - 1]))
        pattern += "[0-9]*";
    }
  }
  return pattern + Escaped(rest);
}

// The walk down from the top: the provider's own hops stepped over, the first other sender
// chosen. A problem when there is none.
std::optional<std::string> ChooseHop(TSample& sample, std::set<std::string> domains) {
  for (size_t i = 0; i < sample.Received.size(); ++i) {
    const TReceivedHop hop = ParseReceived(sample.Received[i]);
    if (!hop.HasFrom || hop.By.empty())
      continue;
    const bool own =
        (hop.FromAddress && IsInternalAddress(*hop.FromAddress)) ||
        std::any_of(hop.FromNames.begin(), hop.FromNames.end(), [&](const std::string& name) {
          return domains.count(RegistrableDomain(name));
        });
    if (own) {
      domains.insert(RegistrableDomain(hop.By));
      continue;
    }
    const std::string line = " line " + std::to_string(i + 1);
    if (!domains.count(RegistrableDomain(hop.By)))
      return sample.Source + ":" + line + " was received by " + hop.By +
             ", outside the provider, before any hop from outside";
    if (!hop.FromAddress)
      return sample.Source + ":" + line + " names the sending host without its address";
    sample.Chosen = i;
    sample.Address = *hop.FromAddress;
    return std::nullopt;
  }
  return sample.Source + ": no Received: line names a host outside the provider";
}

// What the proxy selects in the sample with this match string: the line and the address.
std::pair<std::optional<size_t>, std::string> Selection(const TSample& sample,
                                                        const std::string& matchString) {
  TJudgeSetup setup;
  setup.Session.MatchString = matchString;
  setup.Session.SelectFrom = TSelectFrom::kTop;
  const TSenderReport report = SelectSender(setup, sample.Header);
  return {report.Selected, report.Address};
}

std::string MatchString(const std::vector<size_t>& forms, const std::vector<std::string>& hosts,
                        const std::vector<std::string>& excluded) {
  std::string exclude;
  if (!excluded.empty()) {
    for (const std::string& e : excluded)
      exclude += (exclude.empty() ? "" : "|") + e;
    exclude = "(?!(?:IPv6:)?(?:" + exclude + "))";
  }
  std::string alternatives;
  for (const size_t f : forms)
    alternatives += (alternatives.empty() ? "" : "|") + std::string(kForms[f].Open) + exclude +
                    kAddress + kForms[f].Close;
  std::string by;
  for (const std::string& host : hosts)
    by += (by.empty() ? "" : "|") + host;
  return "/(?:" + alternatives + ") +by +(?:" + by + ")(?![a-z0-9.-])/i";
}

// The pattern that keeps a provider's hop from being selected: its block for loopback and
// private addresses (another server of the kind may hand over the next message), else itself.
std::string Exclusion(const std::string& address) {
  const auto block = SpecialPurposeBlock(address);
  const bool v6 = address.find(':') != std::string::npos;
  if (block == "loopback")
    return v6 ? "::1[\\])]" : "127\\.";
  if (block == "private" && !v6) {
    if (address.rfind("10.", 0) == 0)
      return "10\\.";
    if (address.rfind("192.168.", 0) == 0)
      return "192\\.168\\.";
    return "172\\.(?:1[6-9]|2[0-9]|3[01])\\.";
  }
  if (block == "unique-local")
    return "f[cd][0-9a-f]{0,2}:";
  return Escaped(address) + "[\\])]";
}

}  // namespace

TSuggestion SuggestRules(const std::vector<TInputMessage>& inputs) {
  TSuggestion suggestion;
  std::vector<TSample> samples;
  std::set<std::string> domains;
  std::string firstSource, firstDomain;
  for (const TInputMessage& input : inputs) {
    TSample sample{input.Source, input.Header, {}, std::nullopt, ""};
    UnfoldHeader(sample.Header);
    for (const std::string& line : sample.Header) {
      if (StartsText("Received:", line))
        sample.Received.push_back(line);
    }
    for (const std::string& line : sample.Received) {
      const TReceivedHop hop = ParseReceived(line);
      if (!hop.HasFrom || hop.By.empty())
        continue;
      const std::string domain = RegistrableDomain(hop.By);
      if (firstDomain.empty()) {
        firstSource = sample.Source;
        firstDomain = domain;
      } else if (domain != firstDomain) {
        suggestion.Problems.push_back("The samples disagree: " + firstSource + " was received by " +
                                      firstDomain + ", " + sample.Source + " by " + domain +
                                      "; give samples of one mailbox.");
      }
      domains.insert(domain);
      break;
    }
    samples.push_back(std::move(sample));
  }
  if (samples.empty())
    suggestion.Problems.push_back("No sample message was given.");
  if (!suggestion.Problems.empty())
    return suggestion;

  std::vector<size_t> forms;
  std::vector<std::string> hosts;
  for (TSample& sample : samples) {
    if (const auto problem = ChooseHop(sample, domains)) {
      suggestion.Problems.push_back(*problem + ": no match string is proposed.");
      continue;
    }
    const std::string host = HostPattern(ParseReceived(sample.Received[*sample.Chosen]).By);
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
      hosts.push_back(host);
    const TSample alone{sample.Source, {sample.Received[*sample.Chosen]}, {}, {}, {}};
    size_t f = 0;
    while (f < std::size(kForms) &&
           Selection(alone, MatchString({f}, {host}, {})).second != sample.Address)
      ++f;
    if (f == std::size(kForms)) {
      suggestion.Problems.push_back(sample.Source + ": line " + std::to_string(*sample.Chosen + 1) +
                                    " is written in a form not known here: no match string is "
                                    "proposed.");
    } else if (std::find(forms.begin(), forms.end(), f) == forms.end()) {
      forms.push_back(f);
    }
  }
  std::sort(forms.begin(), forms.end());
  for (const TSample& sample : samples)
    suggestion.Samples.push_back({sample.Source, sample.Chosen,
                                  sample.Chosen ? sample.Received[*sample.Chosen] : "",
                                  sample.Address});
  if (!suggestion.Problems.empty())
    return suggestion;

  // Narrowed until every sample selects its chosen line, each round excluding the addresses of
  // the provider's hops that were selected above it.
  std::vector<std::string> excluded;
  for (int round = 0; round < 16; ++round) {
    const std::string candidate = MatchString(forms, hosts, excluded);
    bool narrowed = false;
    std::vector<std::string> wrong;
    for (const TSample& sample : samples) {
      const auto [line, address] = Selection(sample, candidate);
      if (line == sample.Chosen && address == sample.Address)
        continue;
      const std::string exclusion = address.empty() ? "" : Exclusion(address);
      const bool chosenElsewhere =
          std::any_of(samples.begin(), samples.end(),
                      [&, wanted = address](const TSample& s) { return s.Address == wanted; });
      if (line && line < sample.Chosen && !chosenElsewhere &&
          std::find(excluded.begin(), excluded.end(), exclusion) == excluded.end()) {
        excluded.push_back(exclusion);
        narrowed = true;
        break;
      }
      wrong.push_back(sample.Source + " would select " +
                      (line ? "line " + std::to_string(*line + 1) + " (" + address + ")"
                            : std::string("no line")) +
                      " instead of line " + std::to_string(*sample.Chosen + 1) + " (" +
                      sample.Address + ")");
    }
    if (!narrowed && wrong.empty()) {
      suggestion.MatchString = candidate;
      return suggestion;
    }
    if (!narrowed) {
      for (const std::string& w : wrong)
        suggestion.Problems.push_back("The samples disagree: " + w +
                                      ": no match string is proposed.");
      return suggestion;
    }
  }
  suggestion.Problems.push_back("The samples disagree: too many hops to step over.");
  return suggestion;
}

std::vector<std::string> SuggestionText(const TSuggestion& suggestion) {
  std::vector<std::string> out;
  if (!suggestion.MatchString.empty()) {
    out = {"[S25R]", "SelectFrom=Top", "MatchString=" + suggestion.MatchString, ""};
    for (const auto& sample : suggestion.Samples) {
      out.push_back("; " + sample.Source + " line " + std::to_string(*sample.Line + 1) + " (" +
                    sample.Address + "): " + sample.Received);
    }
  }
  for (const std::string& problem : suggestion.Problems)
    out.push_back(problem);
  return out;
}

}  // namespace quillbox
