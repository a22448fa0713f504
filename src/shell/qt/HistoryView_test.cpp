#include "shell/qt/HistoryView.h"

#include <gtest/gtest.h>

#include <QAbstractBarSeries>
#include <QApplication>
#include <QBarSet>
#include <QChart>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "history/HistoryStore.h"
#include "judge/JudgeFiles.h"
#include "shell/AllowSender.h"
#include "shell/qt/FakeDialogs.h"
#include "shell/qt/HistoryStats.h"
#include "support/Pop3Peers.h"
#include "support/TempFolder.h"

namespace quillbox {
namespace {

constexpr int64_t kNow = 1'800'000'000;

THistoryRow Row(int64_t i, std::string status, std::string host, bool confirmed = false) {
  THistoryRow r;
  r.Time = kNow + i;
  r.Account = "alice@pop.example.net:110";
  r.Command = "RETR";
  r.Number = i;
  r.Status = std::move(status);
  r.Rule = r.Status == "S25R Rule 2" ? 2 : 0;
  r.HostName = std::move(host);
  r.Domain = SenderDomain(r.HostName);
  r.Address = "192.0.2." + std::to_string(i % 250 + 1);
  r.Confirmed = confirmed;
  r.From = "sender" + std::to_string(i) + "@example.org";
  r.Subject = "subject " + std::to_string(i);
  return r;
}

class HistoryViewTest : public ::testing::Test {
 protected:
  void Add(std::vector<THistoryRow> rows) {
    THistoryStore store(file_, log_, 100, kNow);
    store.Insert(rows);
  }
  QString Cell(int row, int column) {
    return view_.Model().data(view_.Model().index(row, column), Qt::DisplayRole).toString();
  }

  test::TempFolder folder_;
  std::string file_ = folder_.File(kHistoryFileName);
  test::CapturingLog log_;
  FakeDialogs dialogs_;
  THistoryView view_{dialogs_};
};

TEST_F(HistoryViewTest, PagesThroughAHundredThousandRowsNewestFirstHoldingFewPages) {
  std::vector<THistoryRow> rows;
  for (int i = 1; i <= 100000; ++i)
    rows.push_back(Row(i, i % 10 ? "Normal" : "S25R Rule 2", "p" + std::to_string(i) + ".dyn.net"));
  Add(rows);
  view_.Open(file_);
  ASSERT_EQ(view_.Model().rowCount(), 100000);
  EXPECT_EQ(Cell(0, THistoryModel::kSubject), "subject 100000");
  view_.resize(600, 400);
  view_.show();
  QScrollBar* bar = view_.Table().verticalScrollBar();
  for (int step = 0; step <= 20; ++step) {
    bar->setValue(bar->maximum() * step / 20);
    QApplication::processEvents();
  }
  EXPECT_EQ(Cell(99999, THistoryModel::kSubject), "subject 1");
  EXPECT_EQ(Cell(45678, THistoryModel::kSubject), "subject 54322");
  EXPECT_EQ(Cell(45678, THistoryModel::kStatus), "Normal");
  // The status shows by colour and by a shape.
  const QModelIndex flagged = view_.Model().index(0, THistoryModel::kStatus);
  EXPECT_EQ(view_.Model().data(flagged, Qt::ForegroundRole).value<QColor>(),
            THistoryModel::StatusColor("S25R Rule 2"));
  EXPECT_FALSE(view_.Model().data(flagged, Qt::DecorationRole).value<QIcon>().isNull());
}

TEST_F(HistoryViewTest, FilterSearchAndNewRowsShowTheRightRows) {
  Add({Row(1, "Normal", "mx.friend.org", true), Row(2, "S25R Rule 2", "dyn-7.example.net"),
       Row(3, "Reverse lookup failure", ""), Row(4, "Normal", "other.org")});
  view_.Open(file_);
  const struct {
    const char* status;
    const char* search;
    QStringList subjects;
  } rows[] = {
      {"All", "", {"subject 4", "subject 3", "subject 2", "subject 1"}},
      {"Suspicious", "", {"subject 3", "subject 2"}},
      {"S25R Rule", "", {"subject 2"}},
      {"Normal", "", {"subject 4", "subject 1"}},
      {"All", "FRIEND", {"subject 1"}},
      {"All", "subject 3", {"subject 3"}},
      {"All", "sender2@", {"subject 2"}},
      {"Suspicious", "friend", {}},
  };
  for (const auto& row : rows) {
    view_.StatusFilter().setCurrentText(row.status);
    view_.Search().setText(row.search);
    QTRY_COMPARE_WITH_TIMEOUT(view_.Model().Filter().Search, std::string(row.search), 5000);
    QStringList subjects;
    for (int r = 0; r < view_.Model().rowCount(); ++r)
      subjects << Cell(r, THistoryModel::kSubject);
    EXPECT_EQ(subjects, row.subjects) << row.status << "/" << row.search;
  }
  view_.StatusFilter().setCurrentText("Suspicious");
  view_.Search().clear();
  QTRY_COMPARE_WITH_TIMEOUT(view_.Model().Filter().Search, std::string(), 5000);
  Add({Row(5, "Normal", "new.org"), Row(6, "Forward lookup failure", "lost.example.net")});
  view_.Refresh();
  ASSERT_EQ(view_.Model().rowCount(), 3);
  EXPECT_EQ(Cell(0, THistoryModel::kSubject), "subject 6");
}

TEST_F(HistoryViewTest, DetailsAndCopiesTellEveryField) {
  THistoryRow allowed = Row(1, "Normal", "dyn-7.example.net", true);
  allowed.AllowList = "S25R_Allow.txt";
  allowed.AllowLine = 4;
  allowed.AllowEntry = ".example.net";
  allowed.ReplacedStatus = "S25R Rule 2";
  Add({allowed, Row(2, "S25R Rule 2", "dyn-8.example.net")});
  view_.RuleText = [](int rule) { return std::to_string(rule) + ": /^dyn-/"; };
  view_.Open(file_);
  view_.ShowDetails(0);
  view_.ShowDetails(1);
  ASSERT_EQ(dialogs_.Shown.size(), 2);
  for (const char* part : {"Subject: subject 2\n", "Host name: dyn-8.example.net\n",
                           "Status: S25R Rule 2\n", "Rule: 2: /^dyn-/\n",
                           "Account: alice@pop.example.net:110\n", "Paranoid check: not passed\n"})
    EXPECT_TRUE(dialogs_.Shown[0].contains(part)) << part;
  for (const char* part : {"Allowed by: S25R_Allow.txt line 4 (.example.net)\n",
                           "Would be: S25R Rule 2\n", "Status: Normal\n"})
    EXPECT_TRUE(dialogs_.Shown[1].contains(part)) << part;
  EXPECT_EQ(Cell(1, THistoryModel::kStatus), "Normal (allowed)");
  view_.CopyHostName(0);
  EXPECT_EQ(QApplication::clipboard()->text(), "dyn-8.example.net");
  view_.CopyAddress(0);
  EXPECT_EQ(QApplication::clipboard()->text(), "192.0.2.3");
}

// Each row: the message's sender, what the user answers, the line written (none: refused or
// cancelled) and what is shown.
TEST_F(HistoryViewTest, AllowThisSenderWritesTheLineTheNextJudgmentUses) {
  THistoryRow unjudged = Row(3, "Unknown", "");
  unjudged.Address.clear();
  Add({Row(1, "S25R Rule 2", "dyn-7.example.net", true), Row(2, "S25R Rule 2", "dyn-8.other.net"),
       unjudged});
  view_.Open(file_);
  std::filesystem::create_directory(folder_.Path() / "examples");
  std::ofstream(folder_.File("examples/S25R_Allow.txt")) << ".google.com\n";
  TJudgeFiles files;
  files.Load({folder_.Path().string(), folder_.File("examples")});
  view_.AppendAllow = [&](const std::string& line) {
    const std::string file =
        AppendAllowLine(line, files.Current()->AllowPath, folder_.File("quillbox.ini"),
                        [](const std::string&) { return false; });
    bool rulesChanged = false;
    files.Refresh(rulesChanged);
    return file;
  };
  const struct {
    int row;
    std::optional<QString> answer;
    const char* proposed;
    const char* shown;
  } rows[] = {
      {2, QString(), ".example.net", ""},
      {2, std::nullopt, ".example.net", nullptr},
      {2, QString("bad name!"), ".example.net", "warning: \"bad name!\" cannot go into"},
      {1, QString("198.51.100.0/33"), "192.0.2.3", "warning: \"198.51.100.0/33\" cannot go into"},
      {1, QString(), "192.0.2.3", ""},
      {0, QString(), "", "warning: This message's sender was not judged"},
  };
  for (const auto& row : rows) {
    dialogs_.Shown.clear();
    dialogs_.AskedTexts.clear();
    dialogs_.Texts = {row.answer && row.answer->isEmpty() ? QString(row.proposed) : row.answer};
    view_.AllowSender(row.row);
    if (*row.proposed) {
      ASSERT_EQ(dialogs_.AskedTexts.size(), 1);
      EXPECT_TRUE(dialogs_.AskedTexts[0].endsWith(QString("|") + row.proposed));
    }
    const QString expected = row.shown == nullptr ? QString()
                             : *row.shown
                                 ? QString(row.shown)
                                 : "information: \"" + QString(row.proposed) + "\" was added to " +
                                       QString::fromStdString(folder_.File("S25R_Allow.txt")) +
                                       ". The next judgment uses it.";
    EXPECT_EQ(dialogs_.Shown.isEmpty(), expected.isEmpty());
    if (!expected.isEmpty()) {
      EXPECT_TRUE(dialogs_.Shown.value(0).startsWith(expected))
          << row.row << " " << dialogs_.Shown.value(0).toStdString();
    }
  }
  std::ifstream written(folder_.File("S25R_Allow.txt"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), ".example.net\n192.0.2.3\n");
  test::CapturingLog log;
  const auto lists = files.Current();
  EXPECT_NE(lists->Allow->Find("192.0.2.9", "dyn-9.example.net", true, log), nullptr);
  EXPECT_NE(lists->Allow->Find("192.0.2.3", "", false, log), nullptr);
}

TEST_F(HistoryViewTest, StatisticsChartThirtyDaysStatusesAndDomains) {
  Add({Row(1, "Normal", "mx.friend.org"), Row(2, "S25R Rule 2", "dyn-7.example.net"),
       Row(3, "S25R Rule 2", "dyn-8.example.net"), Row(4, "Paranoid check failure", "x.y.org")});
  view_.Open(file_);
  view_.Stats().Update(view_.Model().Reader(), kNow);
  const auto* days = view_.Stats().PerDay().series().value(0);
  ASSERT_NE(days, nullptr);
  const auto bars = static_cast<const QAbstractBarSeries*>(days)->barSets();
  ASSERT_EQ(bars.size(), 6);
  qreal total = 0;
  for (const QBarSet* set : bars) {
    EXPECT_EQ(set->count(), THistoryStats::kDays);
    total += set->sum();
    if (set->label() == "S25R Rule") {
      EXPECT_EQ(set->at(THistoryStats::kDays - 1), 2);
    }
  }
  EXPECT_EQ(total, 4);
  const auto* domains =
      static_cast<const QAbstractBarSeries*>(view_.Stats().Domains().series().value(0));
  ASSERT_NE(domains, nullptr);
  EXPECT_EQ(domains->barSets().value(0)->sum(), 3);
}

}  // namespace
}  // namespace quillbox
