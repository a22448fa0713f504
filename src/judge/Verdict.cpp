#include "judge/Verdict.h"

namespace quillbox {

std::string StatusText(const TVerdict& verdict) {
  switch (verdict.Status) {
    case TSenderStatus::kNormal:
      return "Normal";
    case TSenderStatus::kRuleMatched:
      return "S25R Rule " + std::to_string(verdict.Rule);
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

}  // namespace quillbox
