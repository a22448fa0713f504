#pragma once

#include <QDialog>

#include "shell/Quillbox_Settings.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace quillbox {

// "Quillbox Settings": edits the port, the connection limit, outside access, the TLS port and
// whether outside clients must use TLS in its controls; the caller takes them over only when the
// dialog ends with OK. The number fields always hold an integer, the limit one of at least 1,
// because every change is corrected at once. Not thread-safe: a widget, touched only on the
// user-interface thread.
class TFormSettings : public QDialog {
  Q_OBJECT

 public:
  explicit TFormSettings(QWidget* parent = nullptr);

  // Puts the values into the controls (at creation, and after a cancelled edit).
  void SetControls(const TParameters& settings);
  TParameters Controls() const;

  // Shows the dialog modally; on OK the controls' values go into `settings` (its LogDirectory
  // untouched), otherwise the controls get `settings` back so that the next opening shows the
  // values in force.
  bool Edit(TParameters& settings);

  QLineEdit* LabeledEditListeningPort;
  QLineEdit* LabeledEditMaxConnections;
  QCheckBox* CheckBoxAllowConnectionFromOutside;
  QLineEdit* LabeledEditTLSListeningPort;
  QCheckBox* CheckBoxRequireTLSFromOutside;
  QPushButton* BitBtnOK;
  QPushButton* BitBtnCancel;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void LabeledEditListeningPortChange();
  void LabeledEditMaxConnectionsChange();
  void LabeledEditTLSListeningPortChange();
};

}  // namespace quillbox
