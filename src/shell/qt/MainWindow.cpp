#include "shell/qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QMenuBar>
#include <QStatusBar>

#include "shell/qt/DesktopDialogs.h"
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
      Memo_(new TLogView) {
  setObjectName("FormMain");
  setWindowTitle("Quillbox");
  Memo_->setObjectName("Memo");
  setCentralWidget(Memo_);
  statusBar()->setObjectName("StatusBar");
  statusBar()->setFixedHeight(kStatusBarHeight);
  // The menu keeps the desktop's font whatever font the user gives the log.
  menuBar()->setFont(QApplication::font());

  MainMenuFile = menuBar()->addMenu("File(&F)");
  AddItem(MainMenuFile, "MainMenuFileHide", "Hide in the system tray(&H)");
  AddItem(MainMenuFile, "MainMenuFileSaveAs", "Save log as(&S)...");
  AddItem(MainMenuFile, "MainMenuFileTerminate", "Exit / Terminate(&X)");
  MainMenuEdit = menuBar()->addMenu("Edit(&E)");
  AddItem(MainMenuEdit, "MainMenuEditCopy", "Copy(&C)");
  AddItem(MainMenuEdit, "MainMenuEditSelectAll", "Select All(&A)");
  MainMenuOption = menuBar()->addMenu("Option(&O)");
  AddItem(MainMenuOption, "MainMenuOptionSetting", "Setting(&S)...");
  AddItem(MainMenuOption, "MainMenuOptionFont", "Font(&F)...");
  MainMenuOption->addSeparator();
  MainMenuOptionIniFileName =
      AddItem(MainMenuOption, "MainMenuOptionIniFileName", "INI file name:");
  MainMenuHelp = menuBar()->addMenu("Help(&H)");
  AddItem(MainMenuHelp, "MainMenuHelpAbout", "About(&A)");

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
  on("MainMenuHelpAbout", &TMainWindow::AboutRequested);

  setGeometry(kDesignedLeft, kDesignedTop, kDesignedWidth, kDesignedHeight);
  logColor_ = Memo_->palette().color(QPalette::Text);
}

QAction* TMainWindow::AddItem(QMenu* menu, const char* objectName, const QString& caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(objectName);
  return action;
}

void TMainWindow::ShowAndRaise() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

void TMainWindow::MainMenuFileHideClick() {
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
