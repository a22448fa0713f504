#include "proxy/LoginName.h"

#include "base/SysUtils.h"
#include "proxy/CutToken.h"

namespace quillbox {
namespace {

TLoginName Refused(const char* logPrefix, const char* message) {
  TLoginName name;
  name.Refusal = message;
  name.RefusalLogPrefix = logPrefix;
  return name;
}

}  // namespace

TLoginName ParseLoginName(std::string text) {
  constexpr const char* kPrefix = "C<-P    -ERR ";
  constexpr const char* kFiveBlanks = "C<-P     -ERR ";
  TLoginName name;
  if (text.find('#') == std::string::npos)
    return Refused(kPrefix, "Delimiter # is not found in the USER command.");
  name.User = CutToken(text, '#');
  if (text.find(':') == std::string::npos)
    return Refused(kFiveBlanks, "Delimiter : is not found in the USER command.");
  name.Host = CutToken(text, ':');
  if (text.find(';') == std::string::npos)
    return Refused(kFiveBlanks, "Delimiter ; is not found in the USER command.");
  name.Port = StrToIntDef(CutToken(text, ';'), 110);
  if (text.empty())
    return Refused(kPrefix, "Config file name is empty.");
  name.RuleFile = std::move(text);
  return name;
}

}  // namespace quillbox
