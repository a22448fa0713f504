#pragma once

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>

#include "shell/FrontEnd.h"
#include "shell/MemoQueue.h"
#include "shell/Quillbox_Main.h"
#include "shell/qt/MainWindow.h"
#include "shell/qt/Splash.h"
#include "shell/qt/TrayIndicator.h"

namespace quillbox {

class TDesktopDialogs;
class TFormSettings;
class TSenderTester;

// The desktop program: the Qt windows and the tray icon around the toolkit-neutral core. It is
// the core's text area and message boxes, carries the connection threads' log lines to the text
// area, and runs the commands that need the core (exit, settings, About).
// Not thread-safe: lives on the user-interface thread; the connection threads reach it only
// through the log queue and the tray indicator, which are.
class TDesktop : public QObject, private TextArea, private MessageBoxes {
  Q_OBJECT

 public:
  // The four credit lines of the About box: what this build is made of.
  static const char* const kCredits;

  TDesktop(TDesktopDialogs& dialogs, TStartupEnvironment environment,
           std::unique_ptr<TFormSplash> splash = nullptr);
  ~TDesktop() override;

  // Start-up: the core's settings, banner and listener, then the settings dialog and the tray
  // icon. False when the program must end at once; the reason has been shown and nothing
  // written.
  bool Start();

  // "Exit / Terminate(&X)": writes placement, font and settings, removes the icon and ends the
  // event loop. A failed write is shown and the program goes on; then it returns false.
  bool MainMenuFileTerminateClick();
  // A stop signal (the end of the desktop session, kill, systemctl --user stop): the program
  // ends in good order, listener stopped and icon removed, but without writing the INI file,
  // which only Exit writes: the file keeps what the user last chose to keep.
  void EndOnStopSignal();
  void MainMenuOptionSettingClick();
  // "Test a sender": the tester window, made at the first use, judging with the proxy's lists.
  void MainMenuOptionTestSenderClick();
  TSenderTester* Tester() { return tester_.get(); }
  void MainMenuHelpAboutClick();

  // Ends the event loop; tests replace it, as an ended loop cannot run again.
  std::function<void()> Quit = [] { QCoreApplication::exit(0); };

  TMemoQueue& Log() { return log_; }
  TMainWindow& Window() { return window_; }
  TFormMain& Core() { return *core_; }
  TTrayIndicator& Indicator() { return indicator_; }
  TFormSettings& Settings() { return *settings_; }

 private:
  void AppendLine(const std::string& line) override;
  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  void ShowWarning(const std::string& text) override;

  void DestroySplash();
  void DrainLog();
  void ApplyWindowSettings();
  void ShowWithoutTray();
  TFormStatus Placement() const;
  TFontInfo Font() const;
  void TakeFont(const QFont& font, QColor color);
  void OpenHistory();
  void HistoryChanged();

  TDesktopDialogs& dialogs_;
  std::unique_ptr<TFormSplash> splash_;
  TMemoQueue log_;
  TMainWindow window_;
  TTrayIndicator indicator_;
  // The core last: its destruction stops the connection threads, which use all of the above.
  std::unique_ptr<TFormMain> core_;
  std::unique_ptr<TFormSettings> settings_;
  IniStorage* storage_;
  // After the core: its lookups use the core's lists, and end first.
  std::unique_ptr<TSenderTester> tester_;
  // Set while a refresh of the history view is on its way to the user-interface thread, so that
  // a burst of commits costs one.
  std::atomic<bool> historyPending_{false};
};

// The program: splash, start-up, event loop, shutdown. Returns the exit status.
int RunDesktop(int argc, char** argv);

}  // namespace quillbox
