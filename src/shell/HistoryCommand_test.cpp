#include "shell/HistoryCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/FakeIniStorage.h"
#include "history/HistoryReader.h"
#include "history/HistoryStore.h"
#include "history/HistoryWriter.h"
#include "shell/Quillbox_Main.h"
#include "support/Loopback.h"
#include "support/Pop3Peers.h"
#include "support/TempFolder.h"

namespace quillbox {
namespace {

constexpr int64_t kNow = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
constexpr int64_t kDay = 86400;

std::vector<std::string> Split(const std::string& text, char at) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, at);)
    parts.push_back(part);
  return parts;
}

class HistoryCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    THistorySettings settings;
    settings.FileName = file_;
    settings.Now = [] { return kNow; };
    THistoryWriter writer(settings, log_);
    const auto row = [](int64_t time, std::string status, std::string host, std::string subject) {
      THistoryRow r;
      r.Time = time;
      r.Account = "alice@pop.example.net:110";
      r.Command = "RETR";
      r.Status = std::move(status);
      r.Rule = r.Status == "S25R Rule 2" ? 2 : 0;
      r.HostName = std::move(host);
      r.Subject = std::move(subject);
      return r;
    };
    writer.Record(row(kNow - 40 * kDay, "Normal", "mx.friend.org", "old"));
    writer.Record(row(kNow - kDay, "S25R Rule 2", "p1.dyn.net", "=?UTF-8?B?w6k=?="));
    writer.Record(row(kNow, "Normal", "mx.friend.org", "tab\there \"quoted\"\n"));
    writer.Record(row(kNow, "Reverse lookup failure", "", "none"));
  }
  // The command's output, its status and what it said on standard error.
  std::tuple<int, std::string, std::string> Run(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    const int status = RunHistoryCommand(arguments, file_, kNow, out, err);
    return {status, out.str(), err.str()};
  }

  test::TempFolder folder_;
  std::string file_ = folder_.File(kHistoryFileName);
  test::CapturingLog log_;
};

TEST_F(HistoryCommandTest, TableAndJsonLinesParseBackToTheRowsChosen) {
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> subjects;
  } rows[] = {
      {{"--history"}, {"old", "é", "tab here \"quoted\" ", "none"}},
      {{"--history", "--days", "2"}, {"é", "tab here \"quoted\" ", "none"}},
      {{"--history", "--status", "suspicious"}, {"é", "none"}},
      {{"--history", "--status", "S25R Rule 2", "-I/x/q.ini"}, {"é"}},
      {{"--history", "--status", "S25R Rule 3"}, {}},
  };
  for (const auto& row : rows) {
    const auto [status, out, err] = Run(row.arguments);
    EXPECT_EQ(status, kHistoryShown) << err;
    const std::vector<std::string> lines = Split(out, '\n');
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "time\tstatus\taddress\thost name\tfrom\tsubject");
    std::vector<std::string> subjects;
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::vector<std::string> cells = Split(lines[i], '\t');
      ASSERT_EQ(cells.size(), 6u) << lines[i];
      subjects.push_back(cells[5]);
    }
    EXPECT_EQ(subjects, row.subjects) << row.arguments[row.arguments.size() - 1];
  }
  auto [status, out, err] = Run({"--history", "--json", "--status", "S25R Rule 2"});
  EXPECT_EQ(out.substr(0, out.find(",\"id\"")),
            "{\"time\":\"2027-01-14 08:00:00\",\"epoch\":1799913600");
  EXPECT_NE(out.find(",\"subject\":\"é\",\"address\":\"\",\"host_name\":\"p1.dyn.net\""),
            std::string::npos);
  EXPECT_NE(out.find(",\"status\":\"S25R Rule 2\",\"rule\":2,\"confirmed\":false"),
            std::string::npos);
  std::tie(status, out, err) = Run({"--history", "--json", "--status", "Normal", "--days", "1"});
  EXPECT_NE(out.find("\"subject\":\"tab\\u0009here \\\"quoted\\\"\\u000a\""), std::string::npos)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_F(HistoryCommandTest, StatsCountDaysStatusesAndFlaggedDomains) {
  const auto [status, out, err] = Run({"--stats"});
  EXPECT_EQ(status, kHistoryShown) << err;
  EXPECT_EQ(out,
            "day\tmessages\tsuspicious\n2027-01-14\t1\t1\n2027-01-15\t2\t1\n"
            "\nstatus\tcount\nNormal\t1\nReverse lookup failure\t1\nS25R Rule 2\t1\n"
            "\nflagged domain\tcount\n.dyn.net\t1\n");
  EXPECT_EQ(std::get<1>(Run({"--stats", "--days", "41"})).substr(0, 39),
            "day\tmessages\tsuspicious\n2026-12-06\t1\t0\n");
}

TEST_F(HistoryCommandTest, UnusableArgumentsAndFilesSayWhy) {
  const struct {
    std::vector<std::string> arguments;
    std::string file;
    int status;
    std::string err;
  } rows[] = {
      {{"--history", "--days"}, "", kHistoryUsage, "quillboxd: --days needs a value\n"},
      {{"--history", "--days", "0"},
       "",
       kHistoryUsage,
       "quillboxd: --days takes a number of days from 1 to 100000, not 0\n"},
      {{"--history", "--days", "3x"},
       "",
       kHistoryUsage,
       "quillboxd: --days takes a number of days from 1 to 100000, not 3x\n"},
      {{"--history", "--status", "Spam"}, "", kHistoryUsage, "not Spam\n"},
      {{"--history", "--status", "S25R Rule 0"}, "", kHistoryUsage, "not S25R Rule 0\n"},
      {{"--stats", "--json"}, "", kHistoryUsage, "quillboxd: --stats takes only --days\n"},
      {{"--history", "--verbose"}, "", kHistoryUsage, "quillboxd: unknown argument --verbose\n"},
      {{"--history"}, "missing.sqlite3", kHistoryUnreadable, "cannot be read: open "},
      {{"--history"}, "text", kHistoryUnreadable, "file is not a database\n"},
  };
  std::ofstream(folder_.File("text")) << "not a database, but longer than its header would be";
  for (const auto& row : rows) {
    std::ostringstream out, err;
    const std::string file = row.file.empty() ? file_ : folder_.File(row.file);
    EXPECT_EQ(RunHistoryCommand(row.arguments, file, kNow, out, err), row.status) << err.str();
    EXPECT_NE(err.str().find(row.err), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.File("missing.sqlite3")));
}

// Each row: the INI file's [History] section and whether start-up writes the history.
TEST(HistoryStartupTest, HistoryBesideTheIniFileUnlessDaysIsZeroWhichLeavesAFileAlone) {
  const struct {
    const char* ini;
    int days;
  } rows[] = {{"", 90},
              {"[History]\nDays=7\n", 7},
              {"[History]\nDays=0\n", 0},
              {"[History]\nDays=-3\n", 0}};
  for (const auto& row : rows) {
    test::TempFolder folder;
    const std::string ini = folder.File("q.ini");
    std::ofstream(ini) << row.ini;
    if (row.days == 0)
      std::ofstream(folder.File(kHistoryFileName)) << "kept";
    EXPECT_EQ(HistoryDays(ini), row.days);
    TMemoQueue queue;
    test::CapturingLog unused;
    struct : TextArea, MessageBoxes, ConnectionIndicator {
      void AppendLine(const std::string& line) override { lines.push_back(line); }
      void ShowError(const std::string&) override {}
      void ShowInformation(const std::string&) override {}
      void ShowWarning(const std::string&) override {}
      void EnableTimer() override {}
      std::vector<std::string> lines;
    } front;
    TFormMain form(queue, front, front, front, {.Arguments = {"-I" + ini}, .HandedSockets = [] {
                                                  return test::LoopbackBindings();
                                                }});
    ASSERT_TRUE(form.FormCreate());
    form.Shutdown();
    if (row.days == 0) {
      EXPECT_EQ(form.HistoryFile, "");
      std::ifstream kept(folder.File(kHistoryFileName));
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
    } else {
      EXPECT_EQ(form.HistoryFile, folder.File(kHistoryFileName));
      // Made by the first row: a start that fails leaves nothing behind.
      EXPECT_FALSE(std::filesystem::exists(form.HistoryFile));
    }
    EXPECT_NE(std::find(front.lines.begin(), front.lines.end(),
                        row.days ? "History: " + folder.File(kHistoryFileName) + " (" +
                                       std::to_string(row.days) + " days)"
                                 : "History: none ([History] Days=0)"),
              front.lines.end());
  }
}

}  // namespace
}  // namespace quillbox
