#include "shell/AllowSender.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "judge/JudgeFiles.h"
#include "support/Pop3Peers.h"
#include "support/TempFolder.h"

namespace quillbox {
namespace {

TEST(AllowSenderTest, ProposesTheDomainOnlyForAConfirmedNameAndRefusesWhatTheListWould) {
  const struct {
    const char *host, *address;
    bool confirmed;
    const char* line;
  } proposals[] = {
      {"mail7.example.com", "192.0.2.1", true, ".example.com"},
      {"example.com", "192.0.2.1", true, "example.com"},
      {"mail7.example.com", "192.0.2.1", false, "192.0.2.1"},
      {"", "2001:db8::1", false, "2001:db8::1"},
      {"", "", false, ""},
  };
  for (const auto& p : proposals) {
    THistoryRow row;
    row.HostName = p.host;
    row.Address = p.address;
    row.Confirmed = p.confirmed;
    EXPECT_EQ(ProposedAllowLine(row), p.line) << p.host << " " << p.address;
  }
  const struct {
    const char* line;
    bool refused;
  } edits[] = {{".example.com", false},        {"192.0.2.1", false}, {"198.51.100.0/24", false},
               {"/^mx[0-9]+\\./", false},      {"", true},           {"  ", true},
               {"a.example\nb.example", true}, {"# note", true},     {"bad name!", true},
               {"198.51.100.0/33", true},      {"/(unclosed/", true}};
  for (const auto& e : edits)
    EXPECT_EQ(!AllowLineProblem(e.line).empty(), e.refused) << e.line << AllowLineProblem(e.line);
}

// The list in use gets the line when it may be written; the installed one, which may not, is
// left alone and a new list beside the INI file, found before it, gets it; either way the next
// judgment allows the sender.
TEST(AllowSenderTest, AppendsWhereTheNextJudgmentFindsIt) {
  for (const bool writable : {true, false}) {
    test::TempFolder folder;
    namespace fs = std::filesystem;
    fs::create_directory(folder.Path() / "etc");
    fs::create_directory(folder.Path() / "examples");
    const std::string installed = folder.File("examples/S25R_Allow.txt");
    std::ofstream(installed) << ".google.com";  // no line end at the end
    TJudgeFiles files;
    files.Load({folder.File("etc"), folder.File("examples")});
    ASSERT_EQ(files.Current()->AllowPath, installed);
    const std::string written =
        AppendAllowLine(".example.com", installed, folder.File("etc/quillbox.ini"),
                        [writable](const std::string&) { return writable; });
    EXPECT_EQ(written, writable ? installed : folder.File("etc/S25R_Allow.txt"));
    std::ifstream in(written);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              writable ? ".google.com\n.example.com\n" : ".example.com\n");
    bool rulesChanged = false;
    files.Refresh(rulesChanged);
    test::CapturingLog log;
    EXPECT_NE(files.Current()->Allow->Find("192.0.2.1", "mx.example.com", true, log), nullptr);
  }
}

}  // namespace
}  // namespace quillbox
