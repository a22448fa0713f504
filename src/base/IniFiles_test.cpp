#include "base/IniFiles.h"

#include "base/FakeIniStorage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(IniStrToIntDefTest, ReadsDecimalAndLongerThanTwoCharacterHex) {
  struct Case {
    const char* value;
    int expected;
  } cases[] = {
      {"123", 123},       {"-5", -5},          {"+7", 7},           {"0x10", 16},
      {"0X1f", 31},       {"0x", -1},          {"0xg", -1},         {"0x7FFFFFFF", 2147483647},
      {"0xFFFFFFFF", -1}, {"0x100000000", -1}, {"0x000000010", 16}, {"", -1},
      {"12abc", -1},      {"1 2", -1},         {"$10", -1},         {"99999999999", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IniStrToIntDef(c.value, -1), c.expected) << "value: " << c.value;
}

TEST(TIniFileTest, ReadsWithTheSystemReadingRules) {
  FakeIniStorage storage;
  storage.files["a.ini"] =
      "Key=before any section\n"
      "[General]\r\n"
      "  ListeningPort  =  0x6E  \r\n"
      "; Comment=1\n"
      "Blank=\n"
      "Bad=12x\n"
      "Flag=2\n"
      "Off=0\n"
      "Spaced = a b  \n"
      "Dup=first\n"
      "Dup=second\n"
      "[s25r] trailing text\n"
      "MATCHSTRING=/x/i\n"
      "Long=" +
      std::string(3000, 'v') +
      "\n"
      "[General]\n"
      "Second=not found, only the first section counts\n";
  const TIniFile ini("a.ini", storage);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } strings[] = {
      {"general", "LISTENINGPORT", "0x6E"}, {"General", "Blank", ""},
      {"General", "Spaced", "a b"},         {"General", "Dup", "first"},
      {"General", "; Comment", "default"},  {"General", "Key", "default"},
      {"General", "Second", "default"},     {"S25R", "MatchString", "/x/i"},
      {"Missing", "Key", "default"},
  };
  for (const auto& c : strings)
    EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.expected) << c.section << "/" << c.key;
  EXPECT_EQ(ini.ReadString("S25R", "Long", ""), std::string(kMaxIniValueLength, 'v'));

  struct IntCase {
    const char* key;
    int expected;
  } ints[] = {{"ListeningPort", 110}, {"Blank", 9}, {"Bad", 9}, {"Missing", 9}, {"Flag", 2}};
  for (const auto& c : ints)
    EXPECT_EQ(ini.ReadInteger("General", c.key, 9), c.expected) << c.key;
  EXPECT_TRUE(ini.ReadBool("General", "Flag", false));
  EXPECT_FALSE(ini.ReadBool("General", "Off", true));
  EXPECT_TRUE(ini.ReadBool("General", "Bad", true));
}

TEST(TIniFileTest, MissingOrUnreadableFileGivesDefaults) {
  FakeIniStorage storage;
  EXPECT_EQ(TIniFile("none.ini", storage).ReadInteger("General", "ListeningPort", 123), 123);
  storage.files["a.ini"] = "[General]\nListeningPort=5\n";
  storage.failLoad = true;
  EXPECT_EQ(TIniFile("a.ini", storage).ReadInteger("General", "ListeningPort", 123), 123);
}

TEST(TIniFileTest, SingleKeyWriteLeavesEveryOtherByteAlone) {
  struct Case {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  } cases[] = {
      {"new file", "", "General", "ListeningPort", "110", "[General]\nListeningPort=110\n"},
      {"replace keeps comments and other keys",
       "; mine\n[general]\n  listeningport = 1 \nMaxConnections=1\n\n[Font]\nFontSize=9\n",
       "General", "ListeningPort", "110",
       "; mine\n[general]\nListeningPort=110\nMaxConnections=1\n\n[Font]\nFontSize=9\n"},
      {"new key goes after the section's last key", "[General]\nA=1\n\n; about Font\n[Font]\nB=2\n",
       "General", "C", "3", "[General]\nA=1\nC=3\n\n; about Font\n[Font]\nB=2\n"},
      {"new key in a section without keys", "[General]\n[Font]\n", "General", "C", "3",
       "[General]\nC=3\n[Font]\n"},
      {"new section is appended after a blank line", "[Font]\r\nB=2", "General", "C", "3",
       "[Font]\r\nB=2\r\n\r\n[General]\r\nC=3\r\n"},
      {"no second blank line after a rewritten file", "[Font]\nB=2\n\n", "General", "C", "3",
       "[Font]\nB=2\n\n[General]\nC=3\n"},
      {"last line without line end", "[General]\nA=1", "General", "B", "2",
       "[General]\nA=1\nB=2\n"},
      {"last line ending in a bare CR", "[General]\r", "General", "B", "2", "[General]\r\nB=2\n"},
      {"CR LF file stays CR LF", "[General]\r\nA=1\r\n", "General", "A", "2",
       "[General]\r\nA=2\r\n"},
      {"high bytes pass through", "[General]\nLogDirectory=\xe3\x81\x82\n", "General",
       "LogDirectory", "C:\\\xff", "[General]\nLogDirectory=C:\\\xff\n"},
  };
  for (const auto& c : cases) {
    FakeIniStorage storage;
    if (*c.before != '\0')
      storage.files["a.ini"] = c.before;
    TIniFile("a.ini", storage).WriteString(c.section, c.key, c.value);
    EXPECT_EQ(storage.files["a.ini"], c.after) << c.name;
  }
}

TEST(TIniFileTest, WriteOfALineBreakOrFailedLoadLeavesTheFileAlone) {
  FakeIniStorage storage;
  storage.files["a.ini"] = "[General]\nA=1\n";
  TIniFile ini("a.ini", storage);
  EXPECT_THROW(ini.WriteString("General", "A", "1\n[Evil]"), EIniFileError);
  EXPECT_THROW(ini.WriteString("General", "A=B", "1"), EIniFileError);
  EXPECT_THROW(ini.WriteString("Gen]eral", "A", "1"), EIniFileError);
  EXPECT_THROW(ini.WriteString("General", " ;A", "1"), EIniFileError);   // a comment
  EXPECT_THROW(ini.WriteString("General", "[B]A", "1"), EIniFileError);  // a section
  // A file that exists but cannot be read must not be replaced by a file holding one key.
  storage.failLoad = true;
  EXPECT_THROW(ini.WriteInteger("General", "B", 2), EIniFileError);
  EXPECT_EQ(storage.files["a.ini"], "[General]\nA=1\n");
}

TEST(TMemIniFileTest, RewriteNormalisesTheFileButKeepsOrderAndBytes) {
  FakeIniStorage storage;
  storage.files["a.ini"] =
      "orphan=1\n"
      "; comment\n"
      "[FormMain]\r\n"
      "\n"
      "  Top  =  5  \n"
      "   ; indented comment\n"
      "naked line\n"
      "Left=7\n"
      "\n\n"
      "[General]\n"
      "LogDirectory = \xe3\x81\x82 b \n";
  TMemIniFile ini("a.ini", storage);
  ini.WriteInteger("formmain", "top", 9);
  ini.WriteInteger("FormMain", "WindowState", 2);
  ini.WriteString("Font", "FontName", "Courier New");
  ini.UpdateFile();
  EXPECT_EQ(storage.files["a.ini"],
            "[FormMain]\n"
            "Top=9\n"
            "naked line\n"
            "Left=7\n"
            "WindowState=2\n"
            "\n"
            "[General]\n"
            "LogDirectory=\xe3\x81\x82 b\n"
            "\n"
            "[Font]\n"
            "FontName=Courier New\n"
            "\n");
  EXPECT_EQ(ini.ReadInteger("FORMMAIN", "LEFT", 0), 7);
  EXPECT_EQ(ini.ReadString("General", "Missing", "d"), "d");
}

TEST(TMemIniFileTest, UnreadableFileIsNeverReplaced) {
  FakeIniStorage storage;
  storage.files["a.ini"] = "[General]\nA=1\n";
  storage.failLoad = true;
  EXPECT_THROW(TMemIniFile("a.ini", storage), EIniFileError);
}

class DiskIniStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quillbox-ini-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  static std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir_;
};

TEST_F(DiskIniStorageTest, WriteReplacesContentKeepsModeAndFollowsLinks) {
  const std::string real = Path("real.ini");
  const std::string link = Path("link.ini");
  std::ofstream(real) << "[General]\nA=1\n";
  chmod(real.c_str(), 0600);
  std::filesystem::create_symlink(real, link);
  TIniFile(link).WriteInteger("General", "A", 2);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Content(real), "[General]\nA=2\n");
  struct stat info;
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2)
      << "no temporary file left behind";
}

// A file of the program's own (a saved mode) used to be written through a link into the file the
// link names, which lost its content and mode.
TEST_F(DiskIniStorageTest, OwnFileReplacesALinkAtItsNameAndNeverWritesThroughIt) {
  const std::string victim = Path("victim");
  std::ofstream(victim) << "precious";
  chmod(victim.c_str(), 0644);
  std::filesystem::create_symlink(victim, Path("own.key"));
  std::filesystem::create_symlink(Path("nowhere"), Path("dangling.key"));
  const TFileStatus linked = DiskIniStorage().Status(Path("own.key"));
  EXPECT_EQ(std::tie(linked.SymbolicLink, linked.Exists, linked.Mode),
            std::make_tuple(true, true, 0644u));
  const TFileStatus dangling = DiskIniStorage().Status(Path("dangling.key"));
  EXPECT_EQ(std::tie(dangling.SymbolicLink, dangling.Exists), std::make_tuple(true, false));
  for (const char* name : {"own.key", "dangling.key"}) {
    DiskIniStorage().Save(Path(name), "key", 0600);
    const TFileStatus own = DiskIniStorage().Status(Path(name));
    EXPECT_EQ(std::tie(own.SymbolicLink, own.Exists, own.Mode), std::make_tuple(false, true, 0600u))
        << name;
    EXPECT_EQ(Content(Path(name)), "key") << name;
  }
  EXPECT_EQ(Content(victim), "precious");
  EXPECT_EQ(DiskIniStorage().Status(victim).Mode, 0644u);
  EXPECT_FALSE(DiskIniStorage().Status(Path("nowhere")).Exists);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 3)
      << "no temporary file left behind";
}

TEST_F(DiskIniStorageTest, OversizedDirectoryAndFifoAreRefusedNotRead) {
  const std::string big = Path("big.ini");
  const std::string bigContent =
      "[General]\nListeningPort=110\n" + std::string(kMaxIniFileSize, ';');
  std::ofstream(big) << bigContent;
  const std::string fifo = Path("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {big, fifo, dir_.string()}) {
    EXPECT_THROW(DiskIniStorage().Load(name, kMaxIniFileSize), EIniFileError) << name;
    EXPECT_EQ(TIniFile(name).ReadInteger("General", "ListeningPort", 123), 123) << name;
  }
  EXPECT_THROW(TIniFile(big).WriteInteger("General", "ListeningPort", 1), EIniFileError);
  EXPECT_EQ(Content(big), bigContent);
}

TEST_F(DiskIniStorageTest, ReadOnlyFileIsNotReplaced) {
  if (geteuid() == 0)
    GTEST_SKIP() << "the administrator may write any file";
  const std::string name = Path("ro.ini");
  std::ofstream(name) << "[General]\nA=1\n";
  chmod(name.c_str(), 0444);
  EXPECT_THROW(TIniFile(name).WriteInteger("General", "A", 2), EIniFileError);
  EXPECT_EQ(Content(name), "[General]\nA=1\n");
}

TEST_F(DiskIniStorageTest, WriteIntoMissingFolderFailsWithTheFileName) {
  const std::string name = Path("missing/a.ini");
  try {
    TIniFile(name).WriteInteger("General", "A", 1);
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + name + ": No such file or directory");
  }
}

}  // namespace
}  // namespace quillbox
