#include "shell/qt/FormSettings.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "base/SysUtils.h"

namespace quillbox {

namespace {

constexpr int kClientWidth = 515;
constexpr int kClientHeight = 294;

QLineEdit* AddLabeledEdit(QGridLayout* grid, int row, const QString& caption) {
  auto* edit = new QLineEdit;
  edit->setMaximumWidth(121);
  auto* label = new QLabel(caption);
  label->setBuddy(edit);
  grid->addWidget(label, row, 0, Qt::AlignRight);
  grid->addWidget(edit, row, 1, Qt::AlignLeft);
  return edit;
}

// Replaces the text of `edit` by its correction unless it already says that; the replacement
// fires textChanged again, which then finds nothing to correct.
void Correct(QLineEdit* edit, std::string (*correction)(std::string_view)) {
  const QString corrected = QString::fromStdString(correction(edit->text().toStdString()));
  if (corrected != edit->text())
    edit->setText(corrected);
}

}  // namespace

TFormSettings::TFormSettings(QWidget* parent) : QDialog(parent) {
  setObjectName("FormSettings");
  setWindowTitle("Quillbox Settings");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

  auto* group = new QGroupBox("Connection");
  group->setObjectName("GroupBoxConnection");
  auto* grid = new QGridLayout(group);
  LabeledEditListeningPort = AddLabeledEdit(grid, 0, "Listening port:");
  LabeledEditMaxConnections = AddLabeledEdit(grid, 1, "Max connections:");
  CheckBoxAllowConnectionFromOutside = new QCheckBox("Allow connection from outside");
  grid->addWidget(CheckBoxAllowConnectionFromOutside, 2, 0, 1, 2);
  LabeledEditTLSListeningPort = AddLabeledEdit(grid, 3, "TLS listening port:");
  CheckBoxRequireTLSFromOutside = new QCheckBox("Require TLS from outside");
  grid->addWidget(CheckBoxRequireTLSFromOutside, 4, 0, 1, 2);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(5, 1);
  LabeledEditListeningPort->setObjectName("LabeledEditListeningPort");
  LabeledEditMaxConnections->setObjectName("LabeledEditMaxConnections");
  CheckBoxAllowConnectionFromOutside->setObjectName("CheckBoxAllowConnectionFromOutside");
  LabeledEditTLSListeningPort->setObjectName("LabeledEditTLSListeningPort");
  CheckBoxRequireTLSFromOutside->setObjectName("CheckBoxRequireTLSFromOutside");

  BitBtnOK = new QPushButton("OK(&O)");
  BitBtnOK->setObjectName("BitBtnOK");
  BitBtnOK->setDefault(true);
  BitBtnCancel = new QPushButton("Cancel(&C)");
  BitBtnCancel->setObjectName("BitBtnCancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtnOK);
  buttons->addWidget(BitBtnCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group, 1);
  layout->addLayout(buttons);
  setFixedSize(kClientWidth, kClientHeight);

  connect(LabeledEditListeningPort, &QLineEdit::textChanged, this,
          &TFormSettings::LabeledEditListeningPortChange);
  connect(LabeledEditMaxConnections, &QLineEdit::textChanged, this,
          &TFormSettings::LabeledEditMaxConnectionsChange);
  connect(LabeledEditTLSListeningPort, &QLineEdit::textChanged, this,
          &TFormSettings::LabeledEditTLSListeningPortChange);
  connect(BitBtnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(BitBtnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormSettings::LabeledEditListeningPortChange() {
  Correct(LabeledEditListeningPort, CorrectListeningPortText);
}

void TFormSettings::LabeledEditMaxConnectionsChange() {
  Correct(LabeledEditMaxConnections, CorrectMaxConnectionsText);
}

void TFormSettings::LabeledEditTLSListeningPortChange() {
  Correct(LabeledEditTLSListeningPort, CorrectTLSListeningPortText);
}

void TFormSettings::SetControls(const TParameters& settings) {
  LabeledEditListeningPort->setText(QString::number(settings.ListeningPort));
  LabeledEditMaxConnections->setText(QString::number(settings.MaxConnections));
  CheckBoxAllowConnectionFromOutside->setChecked(settings.AllowConnectionFromOutside);
  LabeledEditTLSListeningPort->setText(QString::number(settings.TLSListeningPort));
  CheckBoxRequireTLSFromOutside->setChecked(settings.RequireTLSFromOutside);
}

TParameters TFormSettings::Controls() const {
  TParameters settings;
  settings.ListeningPort = StrToIntDef(LabeledEditListeningPort->text().toStdString(), 123);
  settings.MaxConnections = StrToIntDef(LabeledEditMaxConnections->text().toStdString(), 1);
  settings.AllowConnectionFromOutside = CheckBoxAllowConnectionFromOutside->isChecked();
  settings.TLSListeningPort = StrToIntDef(LabeledEditTLSListeningPort->text().toStdString(), 0);
  settings.RequireTLSFromOutside = CheckBoxRequireTLSFromOutside->isChecked();
  return settings;
}

bool TFormSettings::Edit(TParameters& settings) {
  if (exec() == QDialog::Accepted) {
    // LogDirectory is no control of the dialog: it stays as it is.
    const std::string logDirectory = settings.LogDirectory;
    settings = Controls();
    settings.LogDirectory = logDirectory;
    return true;
  }
  SetControls(settings);
  return false;
}

void TFormSettings::showEvent(QShowEvent* event) {
  if (const QScreen* screen = this->screen())
    move(screen->availableGeometry().center() - rect().center());
  QDialog::showEvent(event);
}

}  // namespace quillbox
