#include "shell/qt/SenderTester.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "base/FakeIniStorage.h"
#include "support/FakeDns.h"

namespace quillbox {
namespace {

const char kIni[] = "/home/user/quillbox.ini";
const char kMessage[] =
    "Received: from x (mail.example.org [203.0.113.7]) by mx.example.net\nSubject: s\n\nbody\n";

// A tester against the fake DNS, with a rule file on disk whose selection takes the message's
// sender. Each lookup of a name takes `delay`.
class SenderTesterTest : public ::testing::Test {
 protected:
  SenderTesterTest() {
    names_.nameOf = {{"203.0.113.7", "mail.example.org"}};
    dns_.SetAddresses({{"mail.example.org", {"203.0.113.7"}}});
    rules_ = (std::filesystem::temp_directory_path() /
              ("tester-rules-" + std::to_string(::getpid()) + ".ini"))
                 .string();
    std::ofstream(rules_) << "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\[[0-9.]+\\]\\) by "
                             "mx\\.example\\.net/\n";
  }
  ~SenderTesterTest() override { std::filesystem::remove(rules_); }

  std::unique_ptr<TSenderTester> Make(std::chrono::milliseconds delay) {
    names_.reverseDelay = delay;
    auto tester = std::make_unique<TSenderTester>(
        [] { return std::make_shared<const TJudgeLists>(); }, kIni, storage_, &names_, dns_.Port());
    tester->show();
    return tester;
  }

  test::FakeNameService names_;
  test::FakeDnsServer dns_;
  FakeIniStorage storage_;
  std::string rules_;
};

TEST_F(SenderTesterTest, LookupsRunBehindABusyBarAndTheReportFollows) {
  auto tester = Make(std::chrono::milliseconds(300));
  tester->Message->setPlainText(kMessage);
  tester->RuleFile->setText(QString::fromStdString(rules_));
  QSignalSpy finished(tester.get(), &TSenderTester::Finished);
  tester->TestClick();
  // The selection is shown at once; the window answers while the lookup waits.
  EXPECT_TRUE(tester->LookingUp());
  EXPECT_TRUE(tester->Busy->isVisible());
  EXPECT_FALSE(tester->Test->isEnabled());
  EXPECT_TRUE(tester->Report->toPlainText().contains("Sender address: 203.0.113.7"));
  EXPECT_FALSE(tester->Report->toPlainText().contains("Reverse lookup"));
  ASSERT_TRUE(finished.wait(10000));
  EXPECT_FALSE(tester->Busy->isVisible());
  EXPECT_TRUE(tester->Test->isEnabled());
  const QString report = tester->Report->toPlainText();
  EXPECT_TRUE(report.contains("Reverse lookup: mail.example.org")) << report.toStdString();
  EXPECT_TRUE(report.contains("Paranoid check: passed"));
  EXPECT_TRUE(report.contains("X-Quillbox-Status: Normal"));
  // The rule file used is the one offered next time.
  EXPECT_EQ(storage_.files[kIni], "[Tester]\nRuleFile=" + rules_ + "\n");
  EXPECT_EQ(Make(std::chrono::milliseconds(0))->RuleFile->text().toStdString(), rules_);
}

TEST_F(SenderTesterTest, ClosingDuringTheLookupsAbandonsThem) {
  auto tester = Make(std::chrono::milliseconds(500));
  tester->Address->setText("203.0.113.7");
  QSignalSpy finished(tester.get(), &TSenderTester::Finished);
  tester->TestClick();
  ASSERT_TRUE(tester->LookingUp());
  tester->close();
  EXPECT_FALSE(tester->LookingUp());
  EXPECT_FALSE(tester->Busy->isVisible());
  // Well past the lookup's end: its result never reaches the window.
  EXPECT_FALSE(finished.wait(1500));
  EXPECT_FALSE(tester->Report->toPlainText().contains("Reverse lookup"));
  tester.reset();  // joins the abandoned thread
}

TEST_F(SenderTesterTest, UnusableInputSaysWhyWithoutLookingUp) {
  auto tester = Make(std::chrono::milliseconds(0));
  const struct {
    const char* message;
    const char* address;
    std::string rules;
    const char* said;
  } rows[] = {
      {"not a message\n", "", "", "is no message: its first line is no header field."},
      {"", "1.2.3.4.5", "", "This is no IPv4 or IPv6 address: 1.2.3.4.5"},
      {kMessage, "", "/nonexistent/rules.ini",
       "the proxy would answer -ERR Config file \"/nonexistent/rules.ini\" is not existed."},
  };
  for (const auto& row : rows) {
    tester->Message->setPlainText(row.message);
    tester->Address->setText(row.address);
    tester->RuleFile->setText(QString::fromStdString(row.rules));
    tester->TestClick();
    EXPECT_FALSE(tester->LookingUp());
    EXPECT_TRUE(tester->Report->toPlainText().contains(row.said))
        << tester->Report->toPlainText().toStdString();
  }
}

}  // namespace
}  // namespace quillbox
