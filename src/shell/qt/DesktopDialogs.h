#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <optional>

#include "shell/FrontEnd.h"

class QWidget;

namespace quillbox {

struct TFontChoice {
  QFont Font;
  QColor Color;
};

// The modal questions and messages of the desktop program. Behind an interface so that tests
// capture them instead of blocking on a dialog.
class TDesktopDialogs : public MessageBoxes {
 public:
  // The chosen file name, or nullopt when the user cancels.
  virtual std::optional<QString> AskSaveFileName(const QString& directory) = 0;
  virtual std::optional<TFontChoice> AskFont(const TFontChoice& current) = 0;
  // A line of text the user may edit, or nullopt when the user cancels.
  virtual std::optional<QString> AskText(const QString& title, const QString& label,
                                         const QString& text) = 0;
};

// The extension that "Save log as" adds to a name given without one while the filter named is
// selected; null for a name that is not one of its filters (a native dialog may report such a
// name, or an empty one), which leaves the extension as it was.
const char* SaveFilterSuffix(const QString& filterName);

// The real dialogs, over the window given (none: on their own). Not thread-safe: user-interface
// thread only.
class TQtDialogs : public TDesktopDialogs {
 public:
  void SetParent(QWidget* parent) { parent_ = parent; }

  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  void ShowWarning(const std::string& text) override;
  std::optional<QString> AskSaveFileName(const QString& directory) override;
  std::optional<TFontChoice> AskFont(const TFontChoice& current) override;
  std::optional<QString> AskText(const QString& title, const QString& label,
                                 const QString& text) override;

 private:
  QWidget* parent_ = nullptr;
};

}  // namespace quillbox
