#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <functional>

#include "proxy/ConnectionIndicator.h"

namespace quillbox {

// The tray icon and the connection indicator on it: while clients are connected the envelope
// turns a quarter every 500 ms, and the first tick after the last one has gone shows the idle
// image again. EnableTimer may be called from any thread (the connection threads call it); all
// else runs on the user-interface thread.
class TTrayIndicator : public QObject, public ConnectionIndicator {
  Q_OBJECT

 public:
  static constexpr int kImageCount = 5;
  static constexpr int kIntervalMs = 500;

  // `connectionCount` gives the listener's live connections, read under the listener's lock.
  explicit TTrayIndicator(std::function<long long()> connectionCount, QObject* parent = nullptr);

  // Thread-safe. Starts the indicator on the user-interface thread; a running timer keeps its
  // rhythm, so a stream of new connections cannot hold the animation back.
  void EnableTimer() override;

  // Shows the icon with image 0. False when the desktop offers no tray.
  bool Add();
  // Removes the icon for good: a connection that asks for the timer afterwards is ignored.
  void Delete();

  // The tooltip's second line ("Today: 42 messages, 5 suspicious"); empty for none.
  void SetTodayLine(const QString& line);

  void TimerConnectionCheckTimer();
  int TrayIconIndex() const { return TrayIconIndex_; }
  bool TimerEnabled() const { return TimerConnectionCheck.isActive(); }
  const QSystemTrayIcon& TrayIcon() const { return TrayIcon_; }

 signals:
  // A left or right button press on the icon.
  void Pressed();

 private:
  void UpdateTrayIcon();
  void TrayIconActivated(QSystemTrayIcon::ActivationReason reason);

  std::function<long long()> connectionCount_;
  std::array<QIcon, kImageCount> ImageListSystemTray;
  QSystemTrayIcon TrayIcon_;
  QTimer TimerConnectionCheck;
  int TrayIconIndex_ = 0;
  bool deleted_ = false;
};

}  // namespace quillbox
