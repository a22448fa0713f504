#include "judge/Verdict.h"

namespace quillbox {

std::string StatusText(const TVerdict& verdict) {
  return StatusText(verdict.Status, verdict.Rule);
}

std::string StatusText(TSenderStatus status, int rule) {
  switch (status) {
    case TSenderStatus::kNormal:
      return "Normal";
    case TSenderStatus::kRuleMatched:
      return "S25R Rule " + std::to_string(rule);
    case TSenderStatus::kReverseLookupFailure:
      return "Reverse lookup failure";
    case TSenderStatus::kForwardLookupFailure:
      return "Forward lookup failure";
    case TSenderStatus::kParanoidCheckFailure:
      return "Paranoid check failure";
    case TSenderStatus::kUnknown:
      break;
  }
  return "Unknown";
}

bool Allowable(const TVerdict& verdict) {
  return verdict.Status != TSenderStatus::kNormal && verdict.Status != TSenderStatus::kUnknown &&
         !verdict.AllowedBy;
}

void Allow(TVerdict& verdict, std::string list, int line, std::string entry, LogSink& log) {
  verdict.AllowedBy =
      TAllowedBy{std::move(list), line, std::move(entry), verdict.Status, verdict.Rule};
  verdict.Status = TSenderStatus::kNormal;
  verdict.Rule = 0;
  log.AddToMemo(AllowedLine(*verdict.AllowedBy));
}

std::string AllowedLine(const TAllowedBy& allowed) {
  const std::string where =
      allowed.Line > 0 ? allowed.List + " line " + std::to_string(allowed.Line) : allowed.List;
  return "   P    Allowed by " + where + " (" + allowed.Entry + "): would be " +
         StatusText(allowed.Status, allowed.Rule);
}

}  // namespace quillbox
