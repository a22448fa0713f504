#include "proxy/RuleFile.h"

#include <algorithm>

#include "base/Files.h"
#include "base/IniFiles.h"
#include "base/SysUtils.h"

namespace quillbox {
namespace {

// Serves the one content loaded, so that every key comes from the same bytes.
class LoadedFile : public IniStorage {
 public:
  explicit LoadedFile(std::string content) : content_(std::move(content)) {}
  std::optional<std::string> Load(const std::string&, size_t) override { return content_; }
  void Save(const std::string& fileName, std::string_view, std::optional<unsigned>) override {
    throw EIniFileError("Unable to write to " + fileName + ": the rule file is read only");
  }
  void MakeFolders(const std::string& folder) override {
    throw EIniFileError("Unable to create folder " + folder + ": the rule file is read only");
  }
  TFileStatus Status(const std::string&) override { return {false, true, 0600}; }

 private:
  const std::string content_;
};

std::string Load(const std::string& fileName) {
  std::optional<std::string> content;
  try {
    content = DiskIniStorage().Load(fileName, kMaxIniFileSize);
  } catch (const EIniFileError& e) {
    throw ERuleFileError("Config file " + Quoted(fileName) + " cannot be read: " + e.Reason() +
                         ".");
  }
  if (!content)
    throw ERuleFileError("Config file " + Quoted(fileName) + " is not existed.");
  return std::move(*content);
}

// The user's own allow list, which must be usable whole: a line skipped would leave him to find
// out from his mail which sender it failed to allow.
std::shared_ptr<const TAllowList> ReadAllowFile(const std::string& ruleFile,
                                                const std::string& name) {
  const std::string path = PathFromFolderOf(ruleFile, name);
  std::optional<std::string> content;
  try {
    content = ReadFileBounded(path, kMaxIniFileSize);
  } catch (const EFileError& e) {
    throw ERuleFileError("Allow file " + Quoted(path) + " cannot be read: " + e.Reason() + ".");
  }
  if (!content)
    throw ERuleFileError("Allow file " + Quoted(path) + " cannot be read: it does not exist.");
  auto list = std::make_shared<const TAllowList>(name, *content);
  if (!list->Problems().empty()) {
    const TAllowList::TProblem& problem = list->Problems().front();
    throw ERuleFileError("Allow file " + Quoted(path) + " line " + std::to_string(problem.Line) +
                         ": " + problem.Reason + ".");
  }
  return list;
}

std::vector<std::string> ParseAllowZones(const std::string& text) {
  std::vector<std::string> zones;
  for (size_t start = 0; start <= text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string zone = Trim(std::string_view(text).substr(start, comma - start));
    start = comma + 1;
    const auto name = NormalDomainName(zone);
    if (zone.empty() || (name && std::find(zones.begin(), zones.end(), *name) != zones.end()))
      continue;
    if (!name || zones.size() == kMaxAllowZones) {
      throw ERuleFileError("AllowZones=" + text +
                           " in section [S25R] of the rule file is not valid; name up to " +
                           std::to_string(kMaxAllowZones) + " DNS zones, separated by commas.");
    }
    zones.push_back(*name);
  }
  return zones;
}

}  // namespace

void ReadRuleFile(const std::string& fileName, TProxySession& context) {
  LoadedFile file(Load(fileName));
  const TIniFile ini(fileName, file);
  context.MaxLines = ini.ReadInteger("QuillboxRules", "MaxLines", 20);
  context.DNSServer = ini.ReadString("S25R", "DNSServer", "");
  context.MatchString = ini.ReadString("S25R", "MatchString", "");
  const std::string selectFrom = ini.ReadString("S25R", "SelectFrom", "");
  const auto from = selectFrom.empty() ? TSelectFrom::kBottom : ParseSelectFrom(selectFrom);
  if (!from) {
    throw ERuleFileError("SelectFrom=" + selectFrom +
                         " in section [S25R] of the rule file is not valid; use Bottom or Top.");
  }
  context.SelectFrom = *from;
  const std::string annotateTop = ini.ReadString("QuillboxRules", "AnnotateTop", "");
  if (!annotateTop.empty() && annotateTop != "0" && annotateTop != "1") {
    throw ERuleFileError("AnnotateTop=" + annotateTop +
                         " in section [QuillboxRules] of the rule file is not valid; use 1 or 0.");
  }
  context.AnnotateTop = annotateTop != "0";
  const std::string lookAhead = ini.ReadString("QuillboxRules", "LookAhead", "");
  const int depth = lookAhead.empty() ? TLookAhead::kMaxDepth : StrToIntDef(lookAhead, -1);
  if (depth < 0 || depth > TLookAhead::kMaxDepth ||
      (!lookAhead.empty() && lookAhead.find_first_not_of("0123456789") != std::string::npos)) {
    throw ERuleFileError("LookAhead=" + lookAhead +
                         " in section [QuillboxRules] of the rule file is not valid; use 0 to " +
                         std::to_string(TLookAhead::kMaxDepth) + ".");
  }
  context.LookAhead.Depth = depth;
  const std::string allowFile = ini.ReadString("S25R", "AllowFile", "");
  context.OwnAllow = allowFile.empty() ? nullptr : ReadAllowFile(fileName, allowFile);
  context.AllowZones = ParseAllowZones(ini.ReadString("S25R", "AllowZones", ""));
  // The Notification section belongs to the rule file format and is read with it; the proxy
  // never changes a message's subject, so nothing acts on it.
  [[maybe_unused]] const bool alsoNotifyInSubject =
      ini.ReadBool("Notification", "AlsoNotifyInSubject", false);
  [[maybe_unused]] const std::string insertionString =
      ini.ReadString("Notification", "InsertionString", "");
  context.UpstreamSecurity = ReadUpstreamSecurity(ini, context.UpstreamPort);
}

}  // namespace quillbox
