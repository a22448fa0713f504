#include "shell/qt/Desktop.h"

#include <QApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>

#include "shell/AllowSender.h"
#include "shell/HistoryCommand.h"
#include "shell/StopSignals.h"
#include "shell/qt/DesktopDialogs.h"
#include "shell/qt/FormSettings.h"
#include "shell/qt/HistoryView.h"
#include "shell/qt/LogView.h"
#include "shell/qt/SenderTester.h"
#include "shell/qt/Splash.h"

namespace quillbox {

namespace {

constexpr int kSplashMs = 1000;

// A menu caption shows "&" as the start of an access key; a path may hold one.
QString Literal(const std::string& text) {
  return QString::fromStdString(text).replace("&", "&&");
}

}  // namespace

const char* const TDesktop::kCredits =
    "Networking: Quillbox's own POP3 listener, POP3 client and DNS client on POSIX sockets\r\n"
    "Regular expressions: PCRE2, by Philip Hazel and its contributors\r\n"
    "Windows, tray icon and dialogs: Qt 6 Widgets, by The Qt Company and its contributors\r\n"
    "Settings, version data and log hand-over: Quillbox's own toolkit-neutral core";

TDesktop::TDesktop(TDesktopDialogs& dialogs, TStartupEnvironment environment,
                   std::unique_ptr<TFormSplash> splash)
    : dialogs_(dialogs),
      splash_(std::move(splash)),
      window_(dialogs),
      indicator_([this] { return static_cast<long long>(core_->IdPOP3Server.ContextCount()); }) {
  environment.ReadsWindowSettings = true;
  storage_ = environment.Storage;
  TextArea& memo = *this;
  MessageBoxes& messages = *this;
  core_ = std::make_unique<TFormMain>(log_, indicator_, memo, messages, std::move(environment));
  core_->HistoryCommitted = [this](const std::vector<THistoryRow>&) {
    if (!historyPending_.exchange(true))
      QMetaObject::invokeMethod(
          &window_, [this] { HistoryChanged(); }, Qt::QueuedConnection);
  };
  log_.SetOnLinesAvailable([this] {
    QMetaObject::invokeMethod(
        &window_, [this] { DrainLog(); }, Qt::QueuedConnection);
  });
  connect(&window_, &TMainWindow::TerminateRequested, this, &TDesktop::MainMenuFileTerminateClick);
  connect(&window_, &TMainWindow::SettingRequested, this, &TDesktop::MainMenuOptionSettingClick);
  connect(&window_, &TMainWindow::TestSenderRequested, this,
          &TDesktop::MainMenuOptionTestSenderClick);
  connect(&window_, &TMainWindow::AboutRequested, this, &TDesktop::MainMenuHelpAboutClick);
  connect(&window_, &TMainWindow::FontChanged, this, [this](const QFont& font, QColor color) {
    if (settings_) {
      settings_->setFont(font);
      QPalette palette = settings_->palette();
      palette.setColor(QPalette::WindowText, color);
      settings_->setPalette(palette);
    }
  });
  connect(&indicator_, &TTrayIndicator::Pressed, &window_, &TMainWindow::ShowAndRaise);
}

TDesktop::~TDesktop() {
  core_->Shutdown();
}

bool TDesktop::Start() {
  const bool listening = core_->FormCreate();
  ApplyWindowSettings();
  OpenHistory();
  DestroySplash();
  settings_ = std::make_unique<TFormSettings>(&window_);
  settings_->SetControls(core_->Parameters());
  if (!listening)
    return false;
  if (!indicator_.Add())
    ShowWithoutTray();
  return true;
}

void TDesktop::OpenHistory() {
  THistoryView& view = window_.History();
  view.AppendAllow = [this](const std::string& line) {
    const std::string file =
        AppendAllowLine(line, core_->JudgeFiles.Current()->AllowPath, core_->IniFileName);
    // Read at once, so that the next judgment, of this session too, uses it.
    bool rulesChanged = false;
    for (const std::string& logLine : core_->JudgeFiles.Refresh(rulesChanged))
      AppendLine(logLine);
    return file;
  };
  view.RuleText = [this](int rule) {
    const auto lists = core_->JudgeFiles.Current();
    const auto index = static_cast<size_t>(rule - 1);
    return std::to_string(rule) + (index < lists->Rules.size() ? ": " + lists->Rules[index] : "");
  };
  view.Open(core_->HistoryFile);
  HistoryChanged();
}

void TDesktop::HistoryChanged() {
  historyPending_ = false;
  THistoryView& view = window_.History();
  view.Refresh();
  QString today;
  try {
    if (THistoryReader* reader = view.Model().Reader())
      today = QString::fromStdString(TodayLine(*reader, SystemSeconds()));
  } catch (const ESqliteError&) {
  }
  indicator_.SetTodayLine(today);
}

void TDesktop::ApplyWindowSettings() {
  window_.setWindowTitle(QString::fromStdString(core_->Caption()));
  window_.MainMenuOptionIniFileName->setText(Literal(core_->IniFileMenuCaption()));
  window_.LogDirectory = QString::fromStdString(core_->LogDirectory);

  const TFormStatus& placement = core_->Placement;
  // Width and height are the window's own size; the window manager adds its frame around it.
  window_.move(placement.Left, placement.Top);
  window_.resize(placement.Width, placement.Height);
  if (placement.WindowState == wsMaximized)
    window_.setWindowState(Qt::WindowMaximized);
  else if (placement.WindowState == wsMinimized)
    window_.setWindowState(Qt::WindowMinimized);

  const TFontInfo& stored = core_->Font;
  QFont font(QString::fromStdString(stored.FontName));
  font.setBold(stored.FontStyle & fsBold);
  font.setItalic(stored.FontStyle & fsItalic);
  font.setUnderline(stored.FontStyle & fsUnderline);
  font.setStrikeOut(stored.FontStyle & fsStrikeOut);
  font.setPointSize(stored.FontSize > 0 ? stored.FontSize : TFontInfo().FontSize);
  window_.SetLogFont(font, window_.LogColor());
}

void TDesktop::ShowWithoutTray() {
  AppendLine(
      "   P    No system tray is available here, so the window stays open: "
      "\"Exit / Terminate(X)\" in the File menu ends the Quillbox.");
  window_.KeepShownWithoutTray();
}

TFormStatus TDesktop::Placement() const {
  TFormStatus placement;
  placement.Left = window_.x();
  placement.Top = window_.y();
  placement.Width = window_.width();
  placement.Height = window_.height();
  const Qt::WindowStates state = window_.windowState();
  placement.WindowState = (state & Qt::WindowMinimized)   ? wsMinimized
                          : (state & Qt::WindowMaximized) ? wsMaximized
                                                          : wsNormal;
  return placement;
}

TFontInfo TDesktop::Font() const {
  const QFont font = window_.font();
  TFontInfo info;
  info.FontName = font.family().toStdString();
  info.FontStyle = (font.bold() ? fsBold : 0) | (font.italic() ? fsItalic : 0) |
                   (font.underline() ? fsUnderline : 0) | (font.strikeOut() ? fsStrikeOut : 0);
  info.FontSize = font.pointSize() > 0 ? font.pointSize() : qRound(font.pointSizeF());
  // Qt has no character sets: the number read at start-up goes back as it came.
  info.CharacterSet = core_->Font.CharacterSet;
  return info;
}

bool TDesktop::MainMenuFileTerminateClick() {
  try {
    core_->WriteIniFileAtExit(Placement(), Font());
  } catch (const std::exception& e) {
    dialogs_.ShowError(e.what());
    return false;
  }
  indicator_.Delete();
  Quit();
  return true;
}

void TDesktop::EndOnStopSignal() {
  indicator_.Delete();
  Quit();
}

void TDesktop::MainMenuOptionSettingClick() {
  TParameters parameters = core_->Parameters();
  if (settings_->Edit(parameters))
    core_->SetParameters(parameters);
}

void TDesktop::MainMenuOptionTestSenderClick() {
  if (!tester_) {
    tester_ = std::make_unique<TSenderTester>([this] { return core_->JudgeFiles.Current(); },
                                              core_->IniFileName, *storage_);
  }
  tester_->show();
  tester_->raise();
  tester_->activateWindow();
}

void TDesktop::MainMenuHelpAboutClick() {
  core_->ShowVersionInfo(kCredits);
}

void TDesktop::AppendLine(const std::string& line) {
  window_.Memo().DisplayLine(QString::fromStdString(line));
}

void TDesktop::DrainLog() {
  for (const std::string& line : log_.TakeAll())
    AppendLine(line);
}

// The splash stays on top of everything: it goes before any message can appear behind it.
void TDesktop::ShowError(const std::string& text) {
  DestroySplash();
  dialogs_.ShowError(text);
}

void TDesktop::ShowInformation(const std::string& text) {
  DestroySplash();
  dialogs_.ShowInformation(text);
}

void TDesktop::ShowWarning(const std::string& text) {
  DestroySplash();
  dialogs_.ShowWarning(text);
}

void TDesktop::DestroySplash() {
  splash_.reset();
}

int RunDesktop(int argc, char** argv) {
  // Before QApplication, whose threads must not take the stop signals either.
  TStopSignals stopSignals;
  QApplication app(argc, argv);
  // Closing the window only hides it; the program ends through its Exit command or a signal.
  QApplication::setQuitOnLastWindowClosed(false);
  TStartupEnvironment environment;
  environment.Arguments.assign(argv + 1, argv + argc);

  std::unique_ptr<TFormSplash> splash;
  const QString picture = QString::fromStdString(ChangeFileExt(environment.ExecutablePath, ".BMP"));
  if (!environment.ExecutablePath.empty() && QFile::exists(picture)) {
    splash = std::make_unique<TFormSplash>(picture);
    splash->ShowAndPaint();
    QThread::msleep(kSplashMs);
  }

  TQtDialogs dialogs;
  TDesktop desktop(dialogs, std::move(environment), std::move(splash));
  dialogs.SetParent(&desktop.Window());
  if (!desktop.Start())
    return 1;
  // A signal that came during start-up is pending and ends the program once the loop runs.
  QSocketNotifier stopNotifier(stopSignals.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &desktop, [&] {
    if (stopSignals.Take() == 0)
      return;
    stopNotifier.setEnabled(false);
    desktop.EndOnStopSignal();
  });
  return app.exec();
}

}  // namespace quillbox
