#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Files.h"
#include "base/Mutex.h"
#include "judge/AllowList.h"

namespace quillbox {

// The S25R rules and the shared allow list as read from their files at one moment. Immutable: a
// judgment takes the one in use when it starts and keeps it.
struct TJudgeLists {
  std::vector<std::string> Rules;
  std::shared_ptr<const TAllowList> Allow = std::make_shared<const TAllowList>();
  // The files read ("" when none was found) and the stamps of what was read.
  std::string RulesPath, AllowPath;
  std::optional<TFileStamp> RulesStamp, AllowStamp;
};

// Where the rules and the shared allow list come from: S25R_Rules.txt and S25R_Allow.txt, each
// from the first of a few folders that holds it, read at start-up and again at a login when
// another file counts by then or its size or modification time changed, so that an edit counts
// without a restart. A rules file that cannot be read judges with no rules, an allow list that
// cannot be read allows nobody, and a line of the allow list that cannot be used is skipped; the
// lines they return for the log say so.
//
// Thread-safe: one mutex guards the lists in use, which are replaced whole; another lets one
// caller at a time look at the files, so that two logins at once read a changed file once.
class TJudgeFiles {
 public:
  static constexpr const char* kRulesName = "S25R_Rules.txt";
  static constexpr const char* kAllowName = "S25R_Allow.txt";
  // A rules file is a few dozen lines; this only stops a wrong file from filling the memory.
  static constexpr size_t kMaxRulesSize = 4 * 1024 * 1024;
  // An allow list is refused beyond the size of any INI file.
  static constexpr size_t kMaxAllowSize = 1024 * 1024;

  TJudgeFiles();

  // Looks for both files in folders, in order, and reads the first found of each. The lines
  // say for each what is in use and from where, or that none was found and what that means.
  std::vector<std::string> Load(std::vector<std::string> folders) EXCLUDES(looking_, lock_);

  // At a login: the files looked for again, and those read again that changed. The lines say
  // what was read again, none when nothing changed; rulesChanged tells whether the rules did.
  std::vector<std::string> Refresh(bool& rulesChanged) EXCLUDES(looking_, lock_);

  std::shared_ptr<const TJudgeLists> Current() const EXCLUDES(lock_);

  // These rules and this list (none: an empty one), and no folder to look in: for tests, and for
  // shutdown, which lets the lists go.
  void Use(std::vector<std::string> rules, std::shared_ptr<const TAllowList> allow = nullptr)
      EXCLUDES(looking_, lock_);

 private:
  void Replace(std::shared_ptr<const TJudgeLists> lists) EXCLUDES(lock_);

  TMutex looking_ ACQUIRED_BEFORE(lock_);  // held while the files are looked at
  std::vector<std::string> folders_ GUARDED_BY(looking_);
  mutable TMutex lock_;
  std::shared_ptr<const TJudgeLists> current_ GUARDED_BY(lock_);
};

}  // namespace quillbox
