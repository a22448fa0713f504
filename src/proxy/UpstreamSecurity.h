#pragma once

#include <string>

#include "base/IniFiles.h"

namespace quillbox {

// How the proxy talks to the real server: plain, TLS from the first byte (POP3S), or a plain
// greeting followed by STLS and TLS. kInvalid stands for a rule-file value that is none of them;
// the login refuses it.
enum class TUpstreamSecurity { kNone, kTLS, kSTARTTLS, kInvalid };

// Section "Upstream" of the user's rule file.
struct TUpstreamSecuritySettings {
  TUpstreamSecurity Security = TUpstreamSecurity::kNone;
  // The rule file names Security itself. Only then does a plain login wait a limited time for
  // the greeting: a rule file without the key keeps the old, unlimited wait.
  bool SecurityGiven = false;
  bool VerifyCertificate = true;
  bool VerifyCertificateValid = true;  // false: the value is no boolean; the login refuses it
  std::string CAFile;                  // "" or a path; a relative one is made absolute
  std::string SecurityText;            // Security and VerifyCertificate as written, for messages
  std::string VerifyCertificateText;
  // The longest wait for the real server, in seconds: its greeting, every reply and every line
  // of an answer. Valid from 1 to kMaxTimeoutSeconds; the login refuses any other value.
  int TimeoutSeconds = kDefaultTimeoutSeconds;
  bool TimeoutValid = true;
  std::string TimeoutText;

  static constexpr int kDefaultTimeoutSeconds = 120;
  static constexpr int kMaxTimeoutSeconds = 86400;
};

// Reads section "Upstream": "Security" ("None", "TLS" or "STARTTLS", letter case ignored; when
// missing "TLS" for port 995 and "None" for any other port), "VerifyCertificate" (an integer
// as INI files give it, non-zero true, or true/false/yes/no/on/off; default true) and "CAFile"
// (a relative path is taken from the rule file's folder) and "Timeout" (seconds, an integer as INI
// files give it; default 120).
TUpstreamSecuritySettings ReadUpstreamSecurity(const TIniFile& ruleFile, int port);

}  // namespace quillbox
