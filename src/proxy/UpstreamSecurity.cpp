#include "proxy/UpstreamSecurity.h"

#include <optional>

#include "base/Files.h"
#include "base/SysUtils.h"

namespace quillbox {
namespace {

constexpr const char* kSection = "Upstream";
constexpr int kPOP3SPort = 995;

TUpstreamSecurity SecurityFromText(const std::string& text, int port) {
  if (text.empty())
    return port == kPOP3SPort ? TUpstreamSecurity::kTLS : TUpstreamSecurity::kNone;
  if (SameText(text, "None"))
    return TUpstreamSecurity::kNone;
  if (SameText(text, "TLS"))
    return TUpstreamSecurity::kTLS;
  if (SameText(text, "STARTTLS"))
    return TUpstreamSecurity::kSTARTTLS;
  return TUpstreamSecurity::kInvalid;
}

// An integer as INI files write it (decimal or 0x hexadecimal), or nothing.
std::optional<int> IniInteger(const std::string& text) {
  // A text that is no number gives back whichever fallback it is asked with.
  if (IniStrToIntDef(text, 0) == 0 && IniStrToIntDef(text, 1) == 1)
    return std::nullopt;
  return IniStrToIntDef(text, 0);
}

// A mistyped value must not switch verification off, nor silently leave it on against the
// user's intent, so only clear words and integers count.
bool ParseBoolean(const std::string& text, bool fallback, bool& valid) {
  valid = true;
  if (text.empty())
    return fallback;
  for (const char* word : {"true", "yes", "on"}) {
    if (SameText(text, word))
      return true;
  }
  for (const char* word : {"false", "no", "off"}) {
    if (SameText(text, word))
      return false;
  }
  const std::optional<int> number = IniInteger(text);
  valid = number.has_value();
  return valid ? *number != 0 : fallback;
}

// A typo must not turn into a limit nobody asked for, so a value out of range is refused.
int ParseTimeout(const std::string& text, bool& valid) {
  using Settings = TUpstreamSecuritySettings;
  const std::optional<int> number =
      text.empty() ? std::optional<int>(Settings::kDefaultTimeoutSeconds) : IniInteger(text);
  valid = number && *number >= 1 && *number <= Settings::kMaxTimeoutSeconds;
  return valid ? *number : Settings::kDefaultTimeoutSeconds;
}

}  // namespace

TUpstreamSecuritySettings ReadUpstreamSecurity(const TIniFile& ruleFile, int port) {
  TUpstreamSecuritySettings s;
  s.SecurityText = ruleFile.ReadString(kSection, "Security", "");
  s.SecurityGiven = !s.SecurityText.empty();
  s.Security = SecurityFromText(s.SecurityText, port);
  s.VerifyCertificateText = ruleFile.ReadString(kSection, "VerifyCertificate", "");
  s.VerifyCertificate = ParseBoolean(s.VerifyCertificateText, true, s.VerifyCertificateValid);
  s.TimeoutText = ruleFile.ReadString(kSection, "Timeout", "");
  s.TimeoutSeconds = ParseTimeout(s.TimeoutText, s.TimeoutValid);
  s.CAFile = PathFromFolderOf(ruleFile.FileName(), ruleFile.ReadString(kSection, "CAFile", ""));
  return s;
}

}  // namespace quillbox
