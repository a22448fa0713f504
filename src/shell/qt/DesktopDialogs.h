#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <optional>

class QWidget;

namespace quillbox {

struct TFontChoice {
  QFont Font;
  QColor Color;
};

// The modal questions and messages of the desktop program. Behind an interface so that tests
// capture them instead of blocking on a dialog.
class TDesktopDialogs {
 public:
  virtual ~TDesktopDialogs() = default;
  virtual void ShowError(QWidget* parent, const QString& text) = 0;
  virtual void ShowWarning(QWidget* parent, const QString& text) = 0;
  virtual void ShowInformation(QWidget* parent, const QString& text) = 0;
  // The chosen file name, or nullopt when the user cancels.
  virtual std::optional<QString> AskSaveFileName(QWidget* parent, const QString& directory) = 0;
  virtual std::optional<TFontChoice> AskFont(QWidget* parent, const TFontChoice& current) = 0;
};

// The real dialogs. Not thread-safe: user-interface thread only.
class TQtDialogs : public TDesktopDialogs {
 public:
  void ShowError(QWidget* parent, const QString& text) override;
  void ShowWarning(QWidget* parent, const QString& text) override;
  void ShowInformation(QWidget* parent, const QString& text) override;
  std::optional<QString> AskSaveFileName(QWidget* parent, const QString& directory) override;
  std::optional<TFontChoice> AskFont(QWidget* parent, const TFontChoice& current) override;
};

}  // namespace quillbox
