#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace quillbox {

// The values the settings dialog edits.
struct TConnectionSettings {
  int ListeningPort = 123;
  int MaxConnections = 1;
  bool AllowConnectionFromOutside = false;
};

// "Quillbox Settings": edits the connection settings in its own controls; the caller takes them
// over only when the dialog ends with OK. The two number fields always hold an integer, the
// limit one of at least 1, because every change is corrected at once.
// Not thread-safe: a widget, touched only on the user-interface thread.
class TFormSettings : public QDialog {
  Q_OBJECT

 public:
  explicit TFormSettings(QWidget* parent = nullptr);

  // Puts the values into the controls (at creation, and after a cancelled edit).
  void SetControls(const TConnectionSettings& settings);
  TConnectionSettings Controls() const;

  // Shows the dialog modally; on OK the controls' values go into `settings`, otherwise the
  // controls get `settings` back so that the next opening shows the values in force.
  bool Edit(TConnectionSettings& settings);

  QLineEdit* LabeledEditListeningPort;
  QLineEdit* LabeledEditMaxConnections;
  QCheckBox* CheckBoxAllowConnectionFromOutside;
  QPushButton* BitBtnOK;
  QPushButton* BitBtnCancel;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void LabeledEditListeningPortChange();
  void LabeledEditMaxConnectionsChange();
};

// The corrections of the two number fields, as text in, text out.
QString CorrectedPortText(const QString& text);
QString CorrectedLimitText(const QString& text);

}  // namespace quillbox
