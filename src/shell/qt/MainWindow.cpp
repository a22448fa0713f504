#include "shell/qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QIcon>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabWidget>

#include "shell/qt/DesktopDialogs.h"
#include "shell/qt/HistoryView.h"
#include "shell/qt/LogView.h"

namespace quillbox {

namespace {

constexpr int kStatusBarHeight = 20;

}  // namespace

TMainWindow::TMainWindow(TDesktopDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint),
      dialogs_(dialogs),
      Memo_(new TLogView),
      History_(new THistoryView(dialogs)),
      Tabs_(new QTabWidget) {
  setObjectName("FormMain");
  setWindowTitle("Quillbox");
  Memo_->setObjectName("Memo");
  History_->setObjectName("Messages");
  Tabs_->setObjectName("Tabs");
  Tabs_->addTab(History_, "Messages");
  Tabs_->addTab(Memo_, "Log");
  setCentralWidget(Tabs_);
  statusBar()->setObjectName("StatusBar");
  statusBar()->setFixedHeight(kStatusBarHeight);

  MainMenuFile = menuBar()->addMenu("File(&F)");
  AddItem(MainMenuFile, "MainMenuFileHide", "Hide in the system tray(&H)");
  AddItem(MainMenuFile, "MainMenuFileSaveAs", "Save log as(&S)...", "document-save");
  AddItem(MainMenuFile, "MainMenuFileTerminate", "Exit / Terminate(&X)", "application-exit");
  MainMenuEdit = menuBar()->addMenu("Edit(&E)");
  AddItem(MainMenuEdit, "MainMenuEditCopy", "Copy(&C)", "edit-copy");
  AddItem(MainMenuEdit, "MainMenuEditSelectAll", "Select All(&A)", "edit-select-all");
  MainMenuOption = menuBar()->addMenu("Option(&O)");
  AddItem(MainMenuOption, "MainMenuOptionSetting", "Setting(&S)...");
  AddItem(MainMenuOption, "MainMenuOptionFont", "Font(&F)...", "preferences-desktop-font");
  AddItem(MainMenuOption, "MainMenuOptionTestSender", "Test a sender(&T)...");
  MainMenuOption->addSeparator();
  MainMenuOptionIniFileName =
      AddItem(MainMenuOption, "MainMenuOptionIniFileName", "INI file name:");
  MainMenuHelp = menuBar()->addMenu("Help(&H)");
  AddItem(MainMenuHelp, "MainMenuHelpAbout", "About(&A)", "help-about");
  // The menus keep the desktop's font whatever font the user gives the log.
  for (QWidget* menu : {static_cast<QWidget*>(menuBar()), static_cast<QWidget*>(MainMenuFile),
                        static_cast<QWidget*>(MainMenuEdit), static_cast<QWidget*>(MainMenuOption),
                        static_cast<QWidget*>(MainMenuHelp)})
    menu->setFont(QApplication::font());

  const auto on = [this](const char* name, auto slot) {
    connect(findChild<QAction*>(name), &QAction::triggered, this, slot);
  };
  on("MainMenuFileHide", &TMainWindow::MainMenuFileHideClick);
  on("MainMenuFileSaveAs", &TMainWindow::MainMenuFileSaveAsClick);
  on("MainMenuFileTerminate", &TMainWindow::TerminateRequested);
  on("MainMenuEditCopy", &TMainWindow::MainMenuEditCopyClick);
  on("MainMenuEditSelectAll", &TMainWindow::MainMenuEditSelectAllClick);
  on("MainMenuOptionSetting", &TMainWindow::SettingRequested);
  on("MainMenuOptionFont", &TMainWindow::MainMenuOptionFontClick);
  on("MainMenuOptionTestSender", &TMainWindow::TestSenderRequested);
  on("MainMenuHelpAbout", &TMainWindow::AboutRequested);

  setGeometry(kDesignedLeft, kDesignedTop, kDesignedWidth, kDesignedHeight);
  logColor_ = Memo_->palette().color(QPalette::Text);
}

QAction* TMainWindow::AddItem(QMenu* menu, const char* objectName, const QString& caption,
                              const char* themeIcon) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(objectName);
  // The desktop's icon theme only, and that icon only: Qt would otherwise fall back to the
  // name's generic stem ("help" for "help-about"), and the item is better plain than wrong.
  if (themeIcon && QIcon::hasThemeIcon(themeIcon))
    action->setIcon(QIcon::fromTheme(themeIcon));
  return action;
}

void TMainWindow::ShowAndRaise() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TMainWindow::KeepShownWithoutTray() {
  hides_ = false;
  findChild<QAction*>("MainMenuFileHide")->setEnabled(false);
  ShowAndRaise();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  MainMenuFileHideClick();
}

void TMainWindow::MainMenuFileHideClick() {
  if (hides_)
    hide();
}

void TMainWindow::MainMenuFileSaveAsClick() {
  if (const auto fileName = dialogs_.AskSaveFileName(LogDirectory))
    SaveLogTo(*fileName);
}

void TMainWindow::SaveLogTo(const QString& fileName) {
  QFile file(fileName);
  const QByteArray text = Memo_->TextWithCrLf();
  const bool saved = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                     file.write(text) == text.size() && file.flush();
  file.close();
  if (!saved || file.error() != QFileDevice::NoError)
    dialogs_.ShowWarning("Could not save \"" + fileName.toStdString() + "\".");
}

void TMainWindow::MainMenuEditCopyClick() {
  Memo_->copy();
}

void TMainWindow::MainMenuEditSelectAllClick() {
  Memo_->selectAll();
}

void TMainWindow::MainMenuOptionFontClick() {
  if (const auto choice = dialogs_.AskFont({font(), logColor_})) {
    SetLogFont(choice->Font, choice->Color);
    emit FontChanged(choice->Font, choice->Color);
  }
}

void TMainWindow::SetLogFont(const QFont& font, QColor color) {
  setFont(font);
  logColor_ = color;
  QPalette palette = Memo_->palette();
  palette.setColor(QPalette::Text, color);
  Memo_->setPalette(palette);
}

}  // namespace quillbox
