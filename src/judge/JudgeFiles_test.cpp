#include "judge/JudgeFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class JudgeFilesTest : public ::testing::Test {
 protected:
  JudgeFilesTest() {
    char pattern[] = "/tmp/quillbox-judge-files-XXXXXX";
    root_ = ::mkdtemp(pattern);
    for (const char* folder : {"first", "second"})
      fs::create_directory(root_ / folder);
  }
  ~JudgeFilesTest() override { fs::remove_all(root_); }

  // Writes the file and moves its modification time on, so that an edit of the same size
  // within the file system's time resolution still shows.
  std::string Write(const std::string& folder, const char* name, const std::string& content) {
    const fs::path path = root_ / folder / name;
    std::ofstream(path, std::ios::binary) << content;
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(++edits_));
    return path.string();
  }
  Lines Refresh(bool expectRulesChanged) {
    bool rulesChanged = !expectRulesChanged;
    Lines lines = files.Refresh(rulesChanged);
    EXPECT_EQ(rulesChanged, expectRulesChanged);
    return lines;
  }
  std::string Folder(const char* name) const { return (root_ / name).string(); }

  fs::path root_;
  int edits_ = 0;
  TJudgeFiles files;
};

TEST_F(JudgeFilesTest, FirstFolderThatHoldsAFileCountsAndStartUpSaysWhatIsInUse) {
  EXPECT_EQ(files.Load({Folder("first"), "", Folder("second")}),
            (Lines{"No S25R rules found: only the lookups and the paranoid check judge.",
                   "No S25R allow list found: the lookups and the rules judge every sender."}));
  const std::string rules = Write("second", TJudgeFiles::kRulesName, "/a/\r\n\r\n/b/\r\n");
  Write("second", TJudgeFiles::kAllowName, ".example.com\n");
  const std::string allow = Write("first", TJudgeFiles::kAllowName, "mail.example.org\nbad name\n");
  EXPECT_EQ(files.Load({Folder("first"), Folder("second") + "/", Folder("second")}),
            (Lines{"S25R rules: " + rules + ", 3 rules", "S25R allow list: " + allow + ", 1 entry",
                   "S25R allow list " + allow +
                       " line 2 is skipped: \"bad name\" is no address, "
                       "network, domain (.example.com), host name or match expression"}));
  const auto lists = files.Current();
  EXPECT_EQ(lists->Rules, (Lines{"/a/", "", "/b/"}));
  EXPECT_EQ(lists->Allow->Name(), "S25R_Allow.txt");
  test::CapturingLog log;
  EXPECT_TRUE(lists->Allow->Find("192.0.2.1", "mail.example.org", true, log));
  EXPECT_FALSE(lists->Allow->Find("192.0.2.1", "x.example.com", true, log));
}

// An edit counts at the next login, the rules' only then, so that the verdicts kept need to go
// only when the rules did change; a file that cannot be read is said so and judges nothing.
TEST_F(JudgeFilesTest, AFileIsReadAgainWhenItChangedOrAnotherCountsNow) {
  const std::string rules = Write("second", TJudgeFiles::kRulesName, "/a/\n");
  const std::string allow = Write("second", TJudgeFiles::kAllowName, ".example.com\n");
  files.Load({Folder("first"), Folder("second")});
  const auto before = files.Current();
  EXPECT_EQ(Refresh(false), Lines{});
  EXPECT_EQ(files.Current(), before) << "nothing read again";

  Write("second", TJudgeFiles::kAllowName, ".example.net\n");
  EXPECT_EQ(Refresh(false),
            Lines{"Read again, as it changed: S25R allow list: " + allow + ", 1 entry"});
  test::CapturingLog log;
  EXPECT_TRUE(files.Current()->Allow->Find("192.0.2.1", "mail.example.net", true, log));
  EXPECT_EQ(files.Current()->Rules, Lines{"/a/"});

  Write("second", TJudgeFiles::kRulesName, "/b/\n");
  EXPECT_EQ(Refresh(true), Lines{"Read again, as it changed: S25R rules: " + rules + ", 1 rule"});
  EXPECT_EQ(files.Current()->Rules, Lines{"/b/"});
  EXPECT_EQ(before->Rules, Lines{"/a/"}) << "a judgment under way keeps the lists it took";

  const std::string first = Write("first", TJudgeFiles::kRulesName, "/c/\n/d/\n");
  EXPECT_EQ(Refresh(true), Lines{"Read again, as it changed: S25R rules: " + first + ", 2 rules"});
  fs::remove(first);
  fs::create_directory(first);
  EXPECT_EQ(Refresh(true), Lines{"Read again, as it changed: S25R rules: " + first +
                                 " cannot be read (not a regular file): only the lookups and the "
                                 "paranoid check judge."});
  EXPECT_EQ(files.Current()->Rules, Lines{});
  EXPECT_EQ(Refresh(false), Lines{});

  fs::resize_file(allow, TJudgeFiles::kMaxAllowSize + 1);
  EXPECT_EQ(Refresh(false),
            Lines{"Read again, as it changed: S25R allow list: " + allow +
                  " cannot be read (larger than 1048576 bytes): it allows nobody."});
  fs::remove(allow);
  EXPECT_EQ(Refresh(false), Lines{"Read again, as it changed: No S25R allow list found: the "
                                  "lookups and the rules judge every sender."});
  EXPECT_EQ(files.Current()->Allow->Size(), 0u);

  files.Use({"/x/"});
  EXPECT_EQ(Refresh(false), Lines{}) << "lists of a test's own are not looked for";
}

}  // namespace
}  // namespace quillbox
