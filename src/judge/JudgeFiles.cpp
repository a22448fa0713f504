#include "judge/JudgeFiles.h"

#include <algorithm>
#include <filesystem>

#include "judge/S25R.h"

namespace quillbox {
namespace {

constexpr const char* kNoRules = "only the lookups and the paranoid check judge.";

// A file as found in the first folder that holds it; no path when none does.
struct TFound {
  std::string path;
  std::optional<TFileStamp> stamp;
};

TFound Locate(const std::vector<std::string>& folders, const char* name) {
  for (const std::string& folder : folders) {
    std::string path = (std::filesystem::path(folder) / name).string();
    if (auto stamp = FileStamp(path))
      return {std::move(path), stamp};
  }
  return {};
}

std::string CountOfLines(size_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// The content of the file found, with its stamp; none when it is gone or cannot be read, which
// reason then says.
std::optional<std::string> Read(const TFound& found, size_t maxSize,
                                std::optional<TFileStamp>& stamp, std::string& reason) {
  stamp = found.stamp;
  try {
    TFileStamp read;
    auto content = ReadFileBounded(found.path, maxSize, &read);
    if (content)
      stamp = read;
    else
      reason = "it is gone";
    return content;
  } catch (const EFileError& e) {
    reason = e.Reason();
    return std::nullopt;
  }
}

std::string ReadRules(const TFound& found, TJudgeLists& lists) {
  lists.Rules.clear();
  lists.RulesPath = found.path;
  lists.RulesStamp = found.stamp;
  if (found.path.empty())
    return std::string("No S25R rules found: ") + kNoRules;
  std::string reason;
  const auto content = Read(found, TJudgeFiles::kMaxRulesSize, lists.RulesStamp, reason);
  if (!content)
    return "S25R rules: " + found.path + " cannot be read (" + reason + "): " + kNoRules;
  lists.Rules = TS25RJudgment::RulesFromText(*content);
  return "S25R rules: " + found.path + ", " + CountOfLines(lists.Rules.size(), "rule");
}

std::vector<std::string> ReadAllow(const TFound& found, TJudgeLists& lists) {
  lists.Allow = std::make_shared<const TAllowList>();
  lists.AllowPath = found.path;
  lists.AllowStamp = found.stamp;
  if (found.path.empty())
    return {"No S25R allow list found: the lookups and the rules judge every sender."};
  std::string reason;
  const auto content = Read(found, TJudgeFiles::kMaxAllowSize, lists.AllowStamp, reason);
  if (!content)
    return {"S25R allow list: " + found.path + " cannot be read (" + reason +
            "): it allows nobody."};
  auto allow = std::make_shared<const TAllowList>(TJudgeFiles::kAllowName, *content);
  std::vector<std::string> lines = {"S25R allow list: " + found.path + ", " + allow->SizeText()};
  for (const TAllowList::TProblem& problem : allow->Problems()) {
    lines.push_back("S25R allow list " + found.path + " line " + std::to_string(problem.Line) +
                    " is skipped: " + problem.Reason);
  }
  if (allow->Skipped() > allow->Problems().size()) {
    lines.push_back("S25R allow list " + found.path + ": " +
                    CountOfLines(allow->Skipped() - allow->Problems().size(), "more line") +
                    " skipped");
  }
  lists.Allow = std::move(allow);
  return lines;
}

}  // namespace

TJudgeFiles::TJudgeFiles() : current_(std::make_shared<const TJudgeLists>()) {}

std::vector<std::string> TJudgeFiles::Load(std::vector<std::string> folders) {
  TMutexLock looking(looking_);
  folders_.clear();
  for (const std::string& folder : folders) {
    std::string normal = std::filesystem::path(folder).lexically_normal().string();
    if (normal.size() > 1 && normal.back() == '/')
      normal.pop_back();
    if (!folder.empty() && std::find(folders_.begin(), folders_.end(), normal) == folders_.end())
      folders_.push_back(normal);
  }
  auto lists = std::make_shared<TJudgeLists>();
  std::vector<std::string> lines = {ReadRules(Locate(folders_, kRulesName), *lists)};
  for (std::string& line : ReadAllow(Locate(folders_, kAllowName), *lists))
    lines.push_back(std::move(line));
  Replace(std::move(lists));
  return lines;
}

std::vector<std::string> TJudgeFiles::Refresh(bool& rulesChanged) {
  rulesChanged = false;
  TMutexLock looking(looking_);
  if (folders_.empty())
    return {};
  const auto current = Current();
  const TFound rules = Locate(folders_, kRulesName);
  const TFound allow = Locate(folders_, kAllowName);
  rulesChanged = rules.path != current->RulesPath || rules.stamp != current->RulesStamp;
  const bool allowChanged = allow.path != current->AllowPath || allow.stamp != current->AllowStamp;
  if (!rulesChanged && !allowChanged)
    return {};
  auto next = std::make_shared<TJudgeLists>(*current);
  std::vector<std::string> lines;
  constexpr const char* kAgain = "Read again, as it changed: ";
  if (rulesChanged)
    lines.push_back(kAgain + ReadRules(rules, *next));
  if (allowChanged) {
    for (const std::string& line : ReadAllow(allow, *next))
      lines.push_back(kAgain + line);
  }
  Replace(std::move(next));
  return lines;
}

std::shared_ptr<const TJudgeLists> TJudgeFiles::Current() const {
  TMutexLock hold(lock_);
  return current_;
}

void TJudgeFiles::Use(std::vector<std::string> rules, std::shared_ptr<const TAllowList> allow) {
  TMutexLock looking(looking_);
  folders_.clear();
  auto lists = std::make_shared<TJudgeLists>();
  lists->Rules = std::move(rules);
  if (allow)
    lists->Allow = std::move(allow);
  Replace(std::move(lists));
}

void TJudgeFiles::Replace(std::shared_ptr<const TJudgeLists> lists) {
  TMutexLock hold(lock_);
  current_ = std::move(lists);
}

}  // namespace quillbox
