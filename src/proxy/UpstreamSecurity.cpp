#include "proxy/UpstreamSecurity.h"

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
  // A text that is no number gives back whichever fallback it is asked with.
  valid = !(IniStrToIntDef(text, 0) == 0 && IniStrToIntDef(text, 1) == 1);
  return valid ? IniStrToIntDef(text, 0) != 0 : fallback;
}

}  // namespace

TUpstreamSecuritySettings ReadUpstreamSecurity(const TIniFile& ruleFile, int port) {
  TUpstreamSecuritySettings s;
  s.SecurityText = ruleFile.ReadString(kSection, "Security", "");
  s.SecurityGiven = !s.SecurityText.empty();
  s.Security = SecurityFromText(s.SecurityText, port);
  s.VerifyCertificateText = ruleFile.ReadString(kSection, "VerifyCertificate", "");
  s.VerifyCertificate = ParseBoolean(s.VerifyCertificateText, true, s.VerifyCertificateValid);
  s.CAFile = PathFromFolderOf(ruleFile.FileName(), ruleFile.ReadString(kSection, "CAFile", ""));
  return s;
}

}  // namespace quillbox
