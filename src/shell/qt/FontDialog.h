#pragma once

#include <QDialog>

#include "shell/qt/DesktopDialogs.h"

class QComboBox;
class QFontDialog;

namespace quillbox {

// The font dialog of the log: face, style, size, the strike-out and underline effects, and a
// colour from the sixteen basic ones. Not thread-safe: a widget.
class TFontDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TFontDialog(const TFontChoice& current, QWidget* parent = nullptr);
  TFontChoice Choice() const;

 private:
  QFontDialog* fonts_;
  QComboBox* colors_;
};

}  // namespace quillbox
