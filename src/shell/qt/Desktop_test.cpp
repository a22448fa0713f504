#include "shell/qt/Desktop.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <iomanip>
#include <sstream>
#include <thread>

#include "base/FakeIniStorage.h"
#include "net/IdTCPClient.h"
#include "shell/qt/FakeDialogs.h"
#include "shell/qt/FormSettings.h"
#include "shell/qt/LogView.h"
#include "shell/qt/SenderTester.h"
#include "support/Loopback.h"

namespace quillbox {
namespace {

using namespace test;

const char kIni[] = "/home/user/quill&box.ini";

// 7 December 2026, 03:00:44.
class FixedClock : public TClock {
 public:
  std::tm LocalNow() const override {
    std::tm time{};
    std::istringstream("2026-12-07 03:00:44") >> std::get_time(&time, "%Y-%m-%d %H:%M:%S");
    return time;
  }
};

QStringList MemoLines(TDesktop& desktop) {
  QStringList lines;
  const QTextDocument* document = desktop.Window().Memo().document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
    lines << block.text();
  return lines;
}

class DesktopTest : public ::testing::Test {
 protected:
  // A desktop that serves a loopback port the system picks (configured ports may be taken by
  // anyone), or the ports of its INI file.
  std::unique_ptr<TDesktop> Make(std::vector<std::string> arguments = {"-I" + std::string(kIni)},
                                 bool onIniPorts = false) {
    auto desktop = std::make_unique<TDesktop>(
        dialogs_, TStartupEnvironment{.ExecutablePath = "/opt/quillbox/quillbox",
                                      .Arguments = std::move(arguments),
                                      .Clock = &clock_,
                                      .Storage = &storage_,
                                      .CurrentFolder = "/nonexistent",
                                      .HandedSockets =
                                          [onIniPorts] {
                                            return onIniPorts ? std::vector<TIdSocketHandle>()
                                                              : LoopbackBindings();
                                          },
                                      .HistoryFile = [](const std::string&) { return ""; }});
    desktop->Quit = [this] { ++quits_; };
    return desktop;
  }
  // Start, with the reason when it fails.
  ::testing::AssertionResult Started(TDesktop& desktop) {
    if (desktop.Start())
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << dialogs_.Shown.join("\n").toStdString();
  }
  void UsePort(int port) {
    storage_.files[kIni] = "[General]\nListeningPort=" + std::to_string(port) + "\n";
  }

  FixedClock clock_;
  FakeIniStorage storage_;
  FakeDialogs dialogs_;
  int quits_ = 0;
};

const QStringList kBanner = {
    "Hello.  Welcome to the Quillbox Version 3.0.0.11",
    "This is quillbox, made by the Quillbox developers.",
    "",
    "The log will be displayed in this area.",
    "C->P     Command from client to server captured by proxy.",
    "   P->S  Command from client to server via proxy, or command from proxy to server.",
    "   P<-S  Response from server to client captured by proxy, or response from server to proxy.",
    "C<-P     Response from server to client via proxy, or response from proxy.",
    "   P     Internal message by proxy.",
    "The \"proxy\" means the Quillbox, of course. :-)",
    "",
};

TEST_F(DesktopTest, StartSetsCaptionIniItemBannerAndListens) {
  const int port = 1110;
  UsePort(port);
  storage_.files["/other.ini"] = "[General]\nListeningPort=1\n";
  auto desktop = Make({"-I/other.ini", "-i/lower.ini", std::string("-I") + kIni, "-x"});
  ASSERT_TRUE(Started(*desktop));
  EXPECT_EQ(desktop->Window().windowTitle(), "Quillbox  3.0.0.11");
  EXPECT_EQ(desktop->Window().MainMenuOptionIniFileName->text(),
            "INI file name: /home/user/quill&&box.ini");
  QStringList expected = kBanner;
  expected << QString("Port number: %1").arg(desktop->Core().BoundPort())
           << "Started at Dec/07/2026 03:00:44"
           << "TLS certificate: /home/user/quill&box.crt";
  EXPECT_EQ(MemoLines(*desktop).mid(0, expected.size()), expected);
  EXPECT_EQ(storage_.files[kIni], "[General]\nListeningPort=" + std::to_string(port) + "\n");
  EXPECT_EQ(storage_.saves, 2) << "the certificate and its key only";
}

TEST_F(DesktopTest, WithoutATrayTheLogSaysSoAndTheWindowShows) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  EXPECT_TRUE(MemoLines(*desktop).back().contains("No system tray is available"));
  EXPECT_TRUE(desktop->Window().isVisible());
  // Hiding it now would leave no way back to it.
  desktop->Window().close();
  desktop->Window().MainMenuFileHideClick();
  EXPECT_TRUE(desktop->Window().isVisible());
}

TEST_F(DesktopTest, BindFailureShowsTheMessageAndWritesNothing) {
  LoopbackListener taken;
  UsePort(taken.Port());
  {
    auto desktop = Make({"-I" + std::string(kIni)}, true);
    EXPECT_FALSE(desktop->Start());
    EXPECT_EQ(dialogs_.Shown, QStringList{QString("error: The Quillbox could not bind socket.  The "
                                                  "port (%1) is already in use.  The Quillbox "
                                                  "will abort.")
                                              .arg(taken.Port())});
    EXPECT_EQ(MemoLines(*desktop), kBanner);
    EXPECT_FALSE(desktop->Window().isVisible());
    EXPECT_EQ(quits_, 0);
  }
  EXPECT_EQ(storage_.files[kIni],
            "[General]\nListeningPort=" + std::to_string(taken.Port()) + "\n");
}

TEST_F(DesktopTest, ExitWritesPlacementFontAndSettingsInThatOrder) {
  const int port = 1110;
  UsePort(port);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  desktop->Window().hide();
  EXPECT_TRUE(desktop->MainMenuFileTerminateClick());
  EXPECT_EQ(quits_, 1);
  EXPECT_FALSE(desktop->Indicator().TimerEnabled());
  EXPECT_EQ(storage_.files[kIni],
            "[General]\nListeningPort=" + std::to_string(port) +
                "\nMaxConnections=1\nAllowConnectionFromOutside=0\nLogDirectory=C:\\\n"
                "TLSListeningPort=0\nRequireTLSFromOutside=1\n\n"
                "[FormMain]\nWindowState=0\nTop=122\nLeft=413\nWidth=519\nHeight=284\n\n"
                "[Font]\nFontName=Courier New\nFontStyle=0\nFontSize=9\nCharacterSet=0\n\n");
}

TEST_F(DesktopTest, ExitRewritesAFileWithCommentsAndBlankLines) {
  const int port = 1110;
  storage_.files[kIni] =
      "; written by hand\n\n[FormMain]\n  Top = 40 \n; moved\n\nLeft=50\n\n"
      "[Font]\nFontName = DejaVu Sans Mono\nFontStyle=3\nFontSize=11\n"
      "CharacterSet=128\n[General]\nListeningPort=" +
      std::to_string(port) + "\n[Other]\nKey = kept\n";
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  EXPECT_TRUE(desktop->Window().font().bold());
  EXPECT_TRUE(desktop->Window().font().italic());
  desktop->Window().resize(600, 300);
  EXPECT_TRUE(desktop->MainMenuFileTerminateClick());
  EXPECT_EQ(storage_.files[kIni],
            "[FormMain]\nTop=40\nLeft=50\nWindowState=0\nWidth=600\nHeight=300\n\n"
            "[Font]\nFontName=DejaVu Sans Mono\nFontStyle=3\nFontSize=11\nCharacterSet=128\n\n"
            "[General]\nListeningPort=" +
                std::to_string(port) +
                "\nMaxConnections=1\nAllowConnectionFromOutside=0\nLogDirectory=C:\\\n"
                "TLSListeningPort=0\nRequireTLSFromOutside=1\n\n"
                "[Other]\nKey=kept\n\n");
}

TEST_F(DesktopTest, StopSignalEndsTheProgramWithoutWritingTheIniFile) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  const auto files = storage_.files;
  desktop->EndOnStopSignal();
  EXPECT_EQ(quits_, 1);
  EXPECT_EQ(storage_.files, files);
  EXPECT_FALSE(desktop->Indicator().TimerEnabled());
}

TEST_F(DesktopTest, FailedWriteAtExitIsShownAndTheProgramGoesOn) {
  UsePort(1110);
  storage_.failSaveAfter = 0;
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  dialogs_.Shown.clear();
  EXPECT_FALSE(desktop->MainMenuFileTerminateClick());
  EXPECT_EQ(dialogs_.Shown, QStringList{QString("error: Unable to write to ") + kIni});
  EXPECT_EQ(quits_, 0);
  desktop->Indicator().EnableTimer();
  EXPECT_TRUE(QTest::qWaitFor([&] { return desktop->Indicator().TimerEnabled(); }, 1000));
}

// The menu item opens one tester window, however often it is chosen, and brings it back.
TEST_F(DesktopTest, TestASenderOpensOneTesterWindow) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  QAction* item = desktop->Window().findChild<QAction*>("MainMenuOptionTestSender");
  ASSERT_NE(item, nullptr);
  item->trigger();
  TSenderTester* tester = desktop->Tester();
  ASSERT_NE(tester, nullptr);
  EXPECT_TRUE(tester->isVisible());
  tester->close();
  item->trigger();
  EXPECT_EQ(desktop->Tester(), tester);
  EXPECT_TRUE(tester->isVisible());
}

TEST_F(DesktopTest, SettingsOkReachesTheCoreAndCancelDoesNot) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  TFormSettings& settings = desktop->Settings();
  const auto runDialog = [&](QPushButton* button) {
    QTimer::singleShot(0, &settings, [&settings, button] {
      settings.LabeledEditMaxConnections->setText("4");
      settings.LabeledEditTLSListeningPort->setText("8995");
      settings.CheckBoxRequireTLSFromOutside->setChecked(false);
      button->click();
    });
    desktop->MainMenuOptionSettingClick();
  };
  runDialog(settings.BitBtnCancel);
  EXPECT_EQ(desktop->Core().MaxConnections, 1);
  EXPECT_TRUE(desktop->Core().RequireTLSFromOutside);
  runDialog(settings.BitBtnOK);
  EXPECT_EQ(desktop->Core().MaxConnections, 4);
  EXPECT_EQ(desktop->Core().TLSListeningPort, 8995);
  EXPECT_FALSE(desktop->Core().RequireTLSFromOutside) << "in force for the next connection";
}

TEST_F(DesktopTest, AboutBoxListsVersionHomePageAndCredits) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  dialogs_.Shown.clear();
  desktop->MainMenuHelpAboutClick();
  ASSERT_EQ(dialogs_.Shown.size(), 1);
  const QStringList lines = dialogs_.Shown[0].split("\r\n");
  ASSERT_EQ(lines.size(), 12);
  EXPECT_EQ(lines[0], "information: Product name: Quillbox.exe");
  EXPECT_EQ(lines[3], "File version: 3.0.0.11");
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(lines.mid(8).join("\r\n"), TDesktop::kCredits);
}

TEST_F(DesktopTest, LogLinesFromOtherThreadsArriveInOrder) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  std::thread connection([&] {
    for (int i = 1; i <= 200; ++i)
      desktop->Log().AddToMemo("   P    line " + std::to_string(i));
  });
  connection.join();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return MemoLines(*desktop).back() == "   P    line 200"; }, 2000));
  const QStringList lines = MemoLines(*desktop);
  EXPECT_EQ(lines[lines.size() - 200], "   P    line 1");
}

TEST_F(DesktopTest, IndicatorTurnsWhileAClientIsConnected) {
  UsePort(1110);
  auto desktop = Make();
  ASSERT_TRUE(Started(*desktop));
  const int port = desktop->Core().BoundPort();
  EXPECT_FALSE(desktop->Indicator().TimerEnabled());
  {
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.Connect();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop->Indicator().TrayIconIndex() == 2; }, 3000));
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return desktop->Indicator().TrayIconIndex() == 0; }, 1500));
}

}  // namespace
}  // namespace quillbox
