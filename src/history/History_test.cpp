#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "history/HistoryReader.h"
#include "history/HistoryStore.h"
#include "history/HistoryWriter.h"
#include "support/Pop3Peers.h"
#include "support/TempFolder.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using test::CapturingLog;

constexpr int64_t kNow = 1'800'000'000;
constexpr int64_t kDay = 86400;

THistoryRow Row(std::string status, std::string subject = "s", std::string host = "",
                int64_t time = kNow) {
  THistoryRow row;
  row.Time = time;
  row.Account = "alice@pop.example.net:110";
  row.Command = "RETR";
  row.Number = 1;
  row.Status = std::move(status);
  row.Rule = row.Status.starts_with("S25R Rule ") ? std::stoi(row.Status.substr(10)) : 0;
  row.Subject = std::move(subject);
  row.HostName = std::move(host);
  return row;
}

class HistoryTest : public ::testing::Test {
 protected:
  THistorySettings Settings() {
    THistorySettings settings;
    settings.FileName = file_;
    settings.Gather = std::chrono::milliseconds(1);
    settings.Now = [this] { return now_.load(); };
    return settings;
  }
  // Writes rows through a writer of settings and waits for them.
  void Write(std::vector<THistoryRow> rows, THistorySettings settings) {
    THistoryWriter writer(std::move(settings), log_);
    for (THistoryRow& row : rows)
      writer.Record(std::move(row));
    writer.Flush();
  }
  void Write(std::vector<THistoryRow> rows) { Write(std::move(rows), Settings()); }
  int64_t Count(const THistoryFilter& filter = {}) { return THistoryReader(file_).Count(filter); }
  bool Logged(const std::string& part) {
    for (const std::string& line : log_.Lines()) {
      if (line.find(part) != std::string::npos)
        return true;
    }
    return false;
  }
  std::vector<fs::path> Broken() {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder_.Path())) {
      if (entry.path().filename().string().starts_with("history.sqlite3.broken-"))
        found.push_back(entry.path());
    }
    return found;
  }

  test::TempFolder folder_;
  std::string file_ = folder_.File(kHistoryFileName);
  std::atomic<int64_t> now_{kNow};
  CapturingLog log_;
};

TEST_F(HistoryTest, EveryColumnComesBackAsWrittenFromAPrivateWalFile) {
  THistoryRow row = Row("Normal");
  row.Command = "TOP";
  row.Number = 7;
  row.Uidl = "uid-7";
  row.MessageId = "<m@example.org>";
  row.Date = "Tue, 8 Dec 2026 10:00:00 +0900";
  row.From = "=?ISO-8859-1?Q?Andr=E9?= <a@example.org>";
  row.Subject = "=?UTF-8?B?w6k=?=";
  row.Address = "192.0.2.1";
  row.HostName = "mail7.Example.com";
  row.LookedUpAddress = "192.0.2.1";
  row.Confirmed = true;
  row.AllowList = "S25R_Allow.txt";
  row.AllowLine = 3;
  row.AllowEntry = ".example.com";
  row.ReplacedStatus = "S25R Rule 2";
  row.Cached = true;
  row.Size = 12345;
  THistoryRow expected = row;
  expected.From = "André <a@example.org>";
  expected.Subject = "é";
  expected.Domain = ".example.com";
  Write({row});

  THistoryReader reader(file_);
  expected.Id = reader.LastId();
  const auto back = reader.Row(expected.Id);
  ASSERT_TRUE(back);
  const auto fields = [](const THistoryRow& r) {
    return std::make_tuple(r.Id, r.Time, r.Account, r.Command, r.Number, r.Uidl, r.MessageId,
                           r.Date, r.From, r.Subject, r.Address, r.HostName, r.LookedUpAddress,
                           r.Domain, r.Status, r.Rule, r.Confirmed, r.AllowList, r.AllowLine,
                           r.AllowEntry, r.ReplacedStatus, r.Cached, r.Size);
  };
  EXPECT_EQ(fields(*back), fields(expected));
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  TSqlite raw(file_, SQLITE_OPEN_READONLY);
  TStatement mode = raw.Prepare("PRAGMA journal_mode");
  ASSERT_TRUE(mode.Step());
  EXPECT_EQ(mode.Text(0), "wal");
}

TEST_F(HistoryTest, FiltersAndSearchSelectTheRightRowsNewestFirst) {
  Write({Row("Normal", "Lunch", "mx.friend.org"), Row("S25R Rule 3", "Cheap pills", "p1.dyn.net"),
         Row("S25R Rule 4", "100% off", "q2.dyn.net"), Row("Reverse lookup failure", "Hello"),
         Row("Normal", "Re: lunch", "", kNow - 10 * kDay)});
  const struct {
    THistoryFilter filter;
    std::vector<std::string> subjects;
  } rows[] = {
      {{}, {"Re: lunch", "Hello", "100% off", "Cheap pills", "Lunch"}},
      {{"Suspicious", "", 0}, {"Hello", "100% off", "Cheap pills"}},
      {{"s25r rule", "", 0}, {"100% off", "Cheap pills"}},
      {{"S25R Rule 3", "", 0}, {"Cheap pills"}},
      {{"normal", "", 0}, {"Re: lunch", "Lunch"}},
      {{"", "LUNCH", 0}, {"Re: lunch", "Lunch"}},
      {{"", "dyn.net", 0}, {"100% off", "Cheap pills"}},
      // LIKE's own characters are searched as themselves.
      {{"", "0%", 0}, {"100% off"}},
      {{"", "_", 0}, {}},
      {{"Normal", "lunch", kNow - kDay}, {"Lunch"}},
  };
  THistoryReader reader(file_);
  for (const auto& row : rows) {
    std::vector<std::string> subjects;
    for (const THistoryRow& r : reader.Page(row.filter, 0, 100))
      subjects.push_back(r.Subject);
    EXPECT_EQ(subjects, row.subjects) << row.filter.Status << "/" << row.filter.Search;
    EXPECT_EQ(reader.Count(row.filter), static_cast<int64_t>(row.subjects.size()));
  }
}

TEST_F(HistoryTest, PagesByOffsetAndAfterAnIdAgreeAndIgnoreRowsCommittedLater) {
  std::vector<THistoryRow> rows;
  for (int i = 0; i < 250; ++i)
    rows.push_back(Row(i % 3 ? "Normal" : "S25R Rule 1", std::to_string(i)));
  Write(rows);
  THistoryReader reader(file_);
  const int64_t top = reader.LastId();
  Write({Row("Normal", "later")});
  EXPECT_EQ(reader.Count({}, 0, top), 250);
  EXPECT_EQ(reader.Count({}, top), 1);
  const auto first = reader.Page({}, 0, 100, top);
  const auto byOffset = reader.Page({}, 100, 100, top);
  const auto byId = reader.Page({}, 0, 100, top, first.back().Id);
  ASSERT_EQ(byOffset.size(), 100u);
  EXPECT_EQ(first.front().Subject, "249");
  EXPECT_EQ(byOffset.front().Subject, "149");
  EXPECT_EQ(byId.front().Id, byOffset.front().Id);
  EXPECT_EQ(byId.back().Id, byOffset.back().Id);
}

TEST_F(HistoryTest, StatisticsCountByDayStatusAndFlaggedDomain) {
  Write({Row("Normal", "a", "mx.friend.org", kNow), Row("S25R Rule 1", "b", "p1.dyn.net", kNow),
         Row("S25R Rule 2", "c", "p2.dyn.net", kNow - kDay),
         Row("Paranoid check failure", "d", "x.other.org", kNow),
         Row("S25R Rule 1", "e", "old.dyn.net", kNow - 40 * kDay)});
  THistoryReader reader(file_);
  const int64_t since = LocalDayStart(kNow) - 29 * kDay;
  std::vector<std::string> days;
  for (const auto& d : reader.PerDay(since))
    days.push_back(d.Day + " " + d.Kind + " " + std::to_string(d.Count));
  EXPECT_EQ(days, (std::vector<std::string>{"2027-01-14 S25R Rule 1", "2027-01-15 Normal 1",
                                            "2027-01-15 Paranoid check failure 1",
                                            "2027-01-15 S25R Rule 1"}));
  std::vector<std::string> statuses, domains;
  for (const auto& c : reader.PerStatus(since))
    statuses.push_back(c.Name + " " + std::to_string(c.Count));
  for (const auto& c : reader.TopFlaggedDomains(since))
    domains.push_back(c.Name + " " + std::to_string(c.Count));
  EXPECT_EQ(statuses, (std::vector<std::string>{"Normal 1", "Paranoid check failure 1",
                                                "S25R Rule 1 1", "S25R Rule 2 1"}));
  EXPECT_EQ(domains, (std::vector<std::string>{".dyn.net 2", ".other.org 1"}));
}

TEST_F(HistoryTest, RowsOlderThanTheDaysGoAtStartAndOnceADay) {
  Write({Row("Normal", "old", "", kNow - 91 * kDay), Row("Normal", "kept", "", kNow - 89 * kDay)},
        [&] {
          auto s = Settings();
          s.Days = 1000;
          return s;
        }());
  ASSERT_EQ(Count(), 2);
  {
    THistoryWriter writer(Settings(), log_);
    writer.Flush();
    EXPECT_TRUE(log_.WaitFor("The history: 1 row(s) older than 90 days removed"));
    EXPECT_EQ(Count(), 1);
    // A day later the one kept is older than the days too; the next row brings the removal.
    now_ += 2 * kDay;
    writer.Record(Row("Normal", "new"));
    writer.Flush();
  }
  THistoryReader reader(file_);
  ASSERT_EQ(reader.Count({}), 1);
  EXPECT_EQ(reader.Page({}, 0, 1)[0].Subject, "new");
}

TEST_F(HistoryTest, NoDaysMakesNoWriter) {
  THistorySettings settings = Settings();
  settings.Days = 0;
  EXPECT_THROW(THistoryWriter(settings, log_), Exception);
  EXPECT_FALSE(fs::exists(file_));
}

// Each row: what stands where the history should be; it is renamed aside and a new one begun.
TEST_F(HistoryTest, AFileThatIsNoDatabaseOrIsCorruptIsRenamedAsideAndANewOneBegun) {
  const auto corrupt = [this] {
    Write({Row("Normal")});
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    f << std::string(8000, '\x5a');
  };
  const auto text = [this] { std::ofstream(file_) << "[General]\nListeningPort=110\n"; };
  for (const auto& damage : {std::function<void()>(text), std::function<void()>(corrupt)}) {
    fs::remove_all(folder_.Path());
    fs::create_directory(folder_.Path());
    damage();
    Write({Row("Normal", "after")});
    EXPECT_TRUE(Logged("was no usable database: renamed to " + file_ + ".broken-"));
    ASSERT_EQ(Broken().size(), 1u);
    THistoryReader reader(file_);
    ASSERT_EQ(reader.Count({}), 1);
    EXPECT_EQ(reader.Page({}, 0, 1)[0].Subject, "after");
  }
}

TEST_F(HistoryTest, AFileHeldLockedDropsTheBatchWithOneLineThenWritesAgain) {
  Write({Row("Normal", "first")});
  THistorySettings settings = Settings();
  settings.BusyMs = 5;
  settings.BusyTries = 3;
  THistoryWriter writer(settings, log_);
  {
    TSqlite other(file_, SQLITE_OPEN_READWRITE);
    other.Exec("BEGIN EXCLUSIVE");
    writer.Record(Row("Normal", "dropped"));
    writer.Flush();
    writer.Record(Row("Normal", "dropped too"));
    writer.Flush();
    other.Exec("COMMIT");
  }
  writer.Record(Row("Normal", "second"));
  writer.Flush();
  EXPECT_EQ(writer.Counts().Dropped, 2u);
  EXPECT_EQ(writer.Counts().Written, 1u);
  int lockedLines = 0;
  for (const std::string& line : log_.Lines())
    lockedLines += line.find("is held locked by another program") != std::string::npos;
  EXPECT_EQ(lockedLines, 1);
  EXPECT_TRUE(Logged("is written again"));
  EXPECT_EQ(Count(), 2);
}

TEST_F(HistoryTest, AnUnwritableFolderLogsOnceAndNeverWaits) {
  THistorySettings settings = Settings();
  settings.FileName = folder_.File("missing/history.sqlite3");
  THistoryWriter writer(settings, log_);
  for (int i = 0; i < 3; ++i) {
    writer.Record(Row("Normal"));
    writer.Flush();
  }
  EXPECT_EQ(writer.Counts().Dropped, 3u);
  int lines = 0;
  for (const std::string& line : log_.Lines())
    lines += line.starts_with("The history cannot be written: open ");
  EXPECT_EQ(lines, 1);
}

TEST_F(HistoryTest, AStalledWriterNeitherBlocksRecordNorLogsMoreThanOnceAMinute) {
  Write({Row("Normal")});
  THistorySettings settings = Settings();
  settings.QueueRows = 100;
  settings.BusyMs = 10000;
  settings.BusyTries = 1;
  TSqlite other(file_, SQLITE_OPEN_READWRITE);
  other.Exec("BEGIN EXCLUSIVE");
  THistoryWriter writer(settings, log_);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100000; ++i)
    writer.Record(Row("Normal"));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_GE(writer.Counts().Dropped, 100000u - 100u - settings.BatchRows);
  int lines = 0;
  for (const std::string& line : log_.Lines())
    lines += line.starts_with("The history is behind");
  EXPECT_EQ(lines, 1);
  other.Exec("COMMIT");
}

TEST_F(HistoryTest, TwoWritersOnOneFileLoseNothingAndLeaveItWhole) {
  {
    THistoryWriter one(Settings(), log_), two(Settings(), log_);
    std::thread a([&] {
      for (int i = 0; i < 500; ++i)
        one.Record(Row("Normal", "one"));
    });
    for (int i = 0; i < 500; ++i)
      two.Record(Row("Normal", "two"));
    a.join();
    one.Flush();
    two.Flush();
    EXPECT_EQ(one.Counts().Dropped + two.Counts().Dropped, 0u);
  }
  EXPECT_EQ(Count(), 1000);
  TSqlite raw(file_, SQLITE_OPEN_READONLY);
  TStatement check = raw.Prepare("PRAGMA integrity_check");
  ASSERT_TRUE(check.Step());
  EXPECT_EQ(check.Text(0), "ok");
}

TEST(HistoryRowTest, SenderDomainKeepsTheNameARegistryWouldOwn) {
  const struct {
    const char *host, *domain;
  } rows[] = {{"mail7.Example.com.", ".example.com"},
              {"example.com", "example.com"},
              {"mx.example.co.jp", ".example.co.jp"},
              {"foo.co.jp", "foo.co.jp"},
              {"p1-2.tokyo.ocn.ne.jp", ".tokyo.ocn.ne.jp"},
              {"localhost", "localhost"},
              {"", ""}};
  for (const auto& row : rows)
    EXPECT_EQ(SenderDomain(row.host), row.domain) << row.host;
}

}  // namespace
}  // namespace quillbox
