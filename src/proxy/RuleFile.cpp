#include "proxy/RuleFile.h"

#include "base/IniFiles.h"

namespace quillbox {

void ReadRuleFile(const std::string& fileName, TMyPOP3ServerContext& context) {
  TIniFile ini(fileName);
  context.MaxLines = ini.ReadInteger("QuillboxRules", "MaxLines", 20);
  context.DNSServer = ini.ReadString("S25R", "DNSServer", "");
  context.MatchString = ini.ReadString("S25R", "MatchString", "");
  // The Notification section belongs to the rule file format and is read with it; the proxy
  // never alters a message, so nothing acts on it.
  [[maybe_unused]] const bool alsoNotifyInSubject =
      ini.ReadBool("Notification", "AlsoNotifyInSubject", false);
  [[maybe_unused]] const std::string insertionString =
      ini.ReadString("Notification", "InsertionString", "");
  context.UpstreamSecurity = ReadUpstreamSecurity(ini, context.UpstreamPort);
}

}  // namespace quillbox
