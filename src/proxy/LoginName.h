#pragma once

#include <string>

namespace quillbox {

// The parts of the login name "user#host:port;rulefile" that the mail client sends with USER, or
// the reason it is refused.
struct TLoginName {
  std::string User;      // before the first "#", trimmed
  std::string Host;      // up to the first ":" after it, trimmed
  int Port = 110;        // up to the first ";" after that; 110 when that is no decimal number
  std::string RuleFile;  // the rest, as it stands
  // When the name is refused: the message the client gets after "-ERR " and the prefix of its
  // log line (the refusals of a missing ":" or ";" have always been logged with five blanks).
  std::string Refusal;
  std::string RefusalLogPrefix;

  bool Refused() const { return !Refusal.empty(); }
};

// Splits a login name; a name without "#", ":" or ";", or with nothing after the ";", is refused.
// The host ends at the first ":", so the rule file's path may hold colons.
TLoginName ParseLoginName(std::string text);

}  // namespace quillbox
