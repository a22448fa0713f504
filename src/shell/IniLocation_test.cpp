#include "shell/IniLocation.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "base/IniFiles.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

TEST(UserConfigFolderTest, PrefersAnAbsoluteXdgConfigHomeOverHome) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"", "/home/alice", "/home/alice/.config/quillbox"},
      {"/cfg", "/home/alice", "/cfg/quillbox"},
      {"/cfg//", "/home/alice/", "/cfg/quillbox"},
      {"", "/home/alice/", "/home/alice/.config/quillbox"},
      {"relative/cfg", "/home/alice", "/home/alice/.config/quillbox"},  // invalid for XDG
      {"", "/", "/.config/quillbox"},
      {"/", "/home/alice", "/quillbox"},
      {"/cfg", "", "/cfg/quillbox"},
      {"", "", ""},
      {"", "relative/home", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(UserConfigFolder(c.xdg, c.home), c.expected) << c.xdg << " | " << c.home;
}

TEST(DefaultIniFileNameTest, OnlyAnUnwritableProgramFolderMovesTheFileToTheConfigFolder) {
  struct Case {
    const char* executable;
    bool writable;
    const char* configFolder;
    const char* expected;
  } cases[] = {
      // From the build folder nothing changes.
      {"/home/alice/quillbox/build/apps/quillboxd/quillboxd", true, "/home/alice/.config/quillbox",
       "/home/alice/quillbox/build/apps/quillboxd/quillboxd.ini"},
      {"/usr/local/bin/quillboxd", false, "/home/alice/.config/quillbox",
       "/home/alice/.config/quillbox/quillbox.ini"},
      // The tray program and the daemon share one file.
      {"/usr/bin/quillbox", false, "/cfg/quillbox", "/cfg/quillbox/quillbox.ini"},
      // Nowhere better to go: the old place, whose write error at least names the problem.
      {"/usr/local/bin/quillboxd", false, "", "/usr/local/bin/quillboxd.ini"},
  };
  for (const Case& c : cases) {
    std::string asked;
    const auto writable = [&](const std::string& folder) {
      asked = folder;
      return c.writable;
    };
    EXPECT_EQ(DefaultIniFileName(c.executable, c.configFolder, writable), c.expected)
        << c.executable;
    if (*c.configFolder) {
      EXPECT_EQ(asked, fs::path(c.executable).parent_path().string());
    }
  }
}

class CreateIniFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("quillbox-ini-location-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    config_ = (root_ / "home" / ".config" / "quillbox").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
  std::string config_;
};

TEST_F(CreateIniFolderTest, MakesTheMissingConfigFolderAndItsParentsPrivate) {
  CreateIniFolder(config_ + "/quillbox.ini", config_);
  ASSERT_TRUE(fs::is_directory(config_));
  struct stat status {};
  ASSERT_EQ(stat(config_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  std::ofstream(config_ + "/quillbox.ini") << "[General]\n";
  // A second exit finds everything in place and keeps the file.
  CreateIniFolder(config_ + "/quillbox.ini", config_);
  EXPECT_TRUE(fs::exists(config_ + "/quillbox.ini"));
}

TEST_F(CreateIniFolderTest, LeavesFoldersNamedWithDashIAlone) {
  const std::string elsewhere = (root_ / "missing" / "folder").string();
  CreateIniFolder(elsewhere + "/quillbox.ini", config_);
  CreateIniFolder(config_ + "/sub/quillbox.ini", config_);
  CreateIniFolder(config_ + "/quillbox.ini", "");
  EXPECT_FALSE(fs::exists(root_ / "missing"));
  EXPECT_FALSE(fs::exists(root_ / "home"));
}

TEST_F(CreateIniFolderTest, AFileInTheWayIsAnErrorThatNamesIt) {
  fs::create_directories(root_ / "home");
  std::ofstream((root_ / "home" / ".config").string()) << "not a folder";
  try {
    CreateIniFolder(config_ + "/quillbox.ini", config_);
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_NE(std::string(e.what()).find((root_ / "home" / ".config").string()), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace quillbox
