#include "shell/qt/TrayIndicator.h"

// The images live in a static library, whose resource the linker would otherwise drop as
// unreferenced. Q_INIT_RESOURCE must be used outside any namespace.
static void InitTrayResource() {
  Q_INIT_RESOURCE(tray);
}

namespace quillbox {

TTrayIndicator::TTrayIndicator(std::function<long long()> connectionCount, QObject* parent)
    : QObject(parent), connectionCount_(std::move(connectionCount)) {
  InitTrayResource();
  for (int i = 0; i < kImageCount; ++i)
    ImageListSystemTray[i] = QIcon(QString(":/tray/%1.png").arg(i));
  TrayIcon_.setToolTip("Quillbox");
  TimerConnectionCheck.setInterval(kIntervalMs);
  connect(&TimerConnectionCheck, &QTimer::timeout, this,
          &TTrayIndicator::TimerConnectionCheckTimer);
  connect(&TrayIcon_, &QSystemTrayIcon::activated, this, &TTrayIndicator::TrayIconActivated);
}

void TTrayIndicator::EnableTimer() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!deleted_ && !TimerConnectionCheck.isActive())
          TimerConnectionCheck.start();
      },
      Qt::QueuedConnection);
}

bool TTrayIndicator::Add() {
  TrayIconIndex_ = 0;
  UpdateTrayIcon();
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return false;
  TrayIcon_.show();
  return true;
}

void TTrayIndicator::Delete() {
  deleted_ = true;
  TimerConnectionCheck.stop();
  TrayIcon_.hide();
}

void TTrayIndicator::SetTodayLine(const QString& line) {
  TrayIcon_.setToolTip(line.isEmpty() ? QString("Quillbox") : "Quillbox\n" + line);
}

void TTrayIndicator::TimerConnectionCheckTimer() {
  TimerConnectionCheck.stop();
  if (connectionCount_() <= 0) {
    TrayIconIndex_ = 0;
  } else if (++TrayIconIndex_ >= kImageCount) {
    TrayIconIndex_ = 1;
  }
  UpdateTrayIcon();
  TimerConnectionCheck.start();
}

void TTrayIndicator::UpdateTrayIcon() {
  TrayIcon_.setIcon(ImageListSystemTray[TrayIconIndex_]);
}

void TTrayIndicator::TrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
  // The icon reports presses: Trigger is the left button, Context the right one. A double
  // click has already shown the window through its first press.
  if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
    emit Pressed();
}

}  // namespace quillbox
