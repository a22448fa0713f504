#pragma once

#include <QColor>
#include <QMainWindow>

class QAction;
class QMenu;
class QTabWidget;

namespace quillbox {

class TDesktopDialogs;
class THistoryView;
class TLogView;

// The main window: under the menu the tabs "Messages" (the history) and "Log" (the log text
// area), and an empty status bar. It does itself
// what concerns only the window and the text (hide, save, copy, select all, font) and signals
// the commands that need the program's core (exit, settings, about). Closing it only hides it.
// It has no taskbar button: the tray icon is the way back to it.
// Not thread-safe: a widget, touched only on the user-interface thread.
class TMainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kDesignedLeft = 413;
  static constexpr int kDesignedTop = 122;
  static constexpr int kDesignedWidth = 519;
  static constexpr int kDesignedHeight = 284;

  explicit TMainWindow(TDesktopDialogs& dialogs, QWidget* parent = nullptr);

  TLogView& Memo() const { return *Memo_; }
  THistoryView& History() const { return *History_; }
  QTabWidget& Tabs() const { return *Tabs_; }
  QMenu* MainMenuFile;
  QMenu* MainMenuEdit;
  QMenu* MainMenuOption;
  QMenu* MainMenuHelp;
  QAction* MainMenuOptionIniFileName;

  // The initial folder of "Save log as"; only the INI file changes it.
  QString LogDirectory;

  // Shows the window, out of a minimised state too, and brings it to the front.
  void ShowAndRaise();

  // Without a tray icon a hidden window could not be reached again: it then stays shown, and
  // only the exit command ends the program.
  void KeepShownWithoutTray();

  // Writes the text area to `fileName`, replacing its content; a failure shows the warning.
  void SaveLogTo(const QString& fileName);

  // The font of the window and its text area; the colour is the text's and lasts until exit.
  void SetLogFont(const QFont& font, QColor color);
  QColor LogColor() const { return logColor_; }

  void MainMenuFileHideClick();
  void MainMenuFileSaveAsClick();
  void MainMenuEditCopyClick();
  void MainMenuEditSelectAllClick();
  void MainMenuOptionFontClick();

 signals:
  void TerminateRequested();
  void SettingRequested();
  void TestSenderRequested();
  void AboutRequested();
  // The font has changed; the other open windows take it over.
  void FontChanged(const QFont& font, QColor color);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // `themeIcon`: the freedesktop name of the item's icon, or null for an item without one.
  QAction* AddItem(QMenu* menu, const char* objectName, const QString& caption,
                   const char* themeIcon = nullptr);

  TDesktopDialogs& dialogs_;
  TLogView* Memo_;
  THistoryView* History_;
  QTabWidget* Tabs_;
  QColor logColor_;
  bool hides_ = true;
};

}  // namespace quillbox
