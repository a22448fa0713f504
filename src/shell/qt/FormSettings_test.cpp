#include "shell/qt/FormSettings.h"

#include <gtest/gtest.h>

#include <map>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace quillbox {
namespace {

TEST(FormSettingsTest, NumberFieldsAreCorrectedAtEveryChange) {
  struct Case {
    const char* typed;
    const char* port;
    const char* limit;
    const char* tlsPort;
  };
  const Case cases[] = {
      {"", "123", "1", "0"},
      {"-", "123", "1", "0"},
      {"abc", "123", "1", "0"},
      {"110", "110", "110", "110"},
      {"0", "0", "1", "0"},
      {"-5", "-5", "1", "-5"},
      {"0110", "110", "110", "110"},
      {"70000", "70000", "70000", "70000"},
      {"99999999999", "123", "1", "0"},
  };
  TFormSettings dialog;
  for (const Case& c : cases) {
    dialog.SetControls({7, 7, false, "", 7, true});
    dialog.LabeledEditListeningPort->setText(c.typed);
    dialog.LabeledEditMaxConnections->setText(c.typed);
    dialog.LabeledEditTLSListeningPort->setText(c.typed);
    EXPECT_EQ(dialog.LabeledEditListeningPort->text(), c.port) << c.typed;
    EXPECT_EQ(dialog.LabeledEditMaxConnections->text(), c.limit) << c.typed;
    EXPECT_EQ(dialog.LabeledEditTLSListeningPort->text(), c.tlsPort) << c.typed;
  }
}

TEST(FormSettingsTest, TypingLettersIntoThePortGivesTheDefaultAtOnce) {
  TFormSettings dialog;
  dialog.SetControls({8110, 2, false, ""});
  dialog.LabeledEditListeningPort->selectAll();
  QTest::keyClicks(dialog.LabeledEditListeningPort, "x");
  EXPECT_EQ(dialog.LabeledEditListeningPort->text(), "123");
}

TEST(FormSettingsTest, CaptionsAndControls) {
  TFormSettings dialog;
  EXPECT_EQ(dialog.windowTitle(), "Quillbox Settings");
  EXPECT_EQ(dialog.BitBtnOK->text(), "OK(&O)");
  EXPECT_TRUE(dialog.BitBtnOK->isDefault());
  EXPECT_EQ(dialog.BitBtnCancel->text(), "Cancel(&C)");
  EXPECT_EQ(dialog.CheckBoxAllowConnectionFromOutside->text(), "Allow connection from outside");
  EXPECT_EQ(dialog.CheckBoxRequireTLSFromOutside->text(), "Require TLS from outside");
  EXPECT_EQ(dialog.size(), QSize(515, 294));
  // The controls of the connection group, top to bottom: the new ones below the old ones.
  dialog.show();
  const QWidget* order[] = {dialog.LabeledEditListeningPort, dialog.LabeledEditMaxConnections,
                            dialog.CheckBoxAllowConnectionFromOutside,
                            dialog.LabeledEditTLSListeningPort,
                            dialog.CheckBoxRequireTLSFromOutside};
  for (size_t i = 1; i < std::size(order); ++i)
    EXPECT_GT(order[i]->y(), order[i - 1]->y()) << order[i]->objectName().toStdString();
  std::map<const QWidget*, QString> captions;
  for (const QLabel* label : dialog.findChildren<QLabel*>())
    captions[label->buddy()] = label->text();
  EXPECT_EQ(captions[dialog.LabeledEditListeningPort], "Listening port:");
  EXPECT_EQ(captions[dialog.LabeledEditMaxConnections], "Max connections:");
  EXPECT_EQ(captions[dialog.LabeledEditTLSListeningPort], "TLS listening port:");
}

// Runs the modal dialog: `edit` changes the controls, then `finish` ends it.
bool RunDialog(TFormSettings& dialog, TParameters& settings, const std::function<void()>& edit,
               const std::function<void()>& finish) {
  QTimer::singleShot(0, &dialog, [&] {
    edit();
    finish();
  });
  return dialog.Edit(settings);
}

TEST(FormSettingsTest, OkTakesTheEditsAndCancelPutsTheValuesInForceBack) {
  TFormSettings dialog;
  TParameters settings;
  settings.LogDirectory = "/var/log";
  dialog.SetControls(settings);
  const auto editAll = [&] {
    dialog.LabeledEditListeningPort->setText("8110");
    dialog.LabeledEditMaxConnections->setText("3");
    dialog.CheckBoxAllowConnectionFromOutside->setChecked(true);
    dialog.LabeledEditTLSListeningPort->setText("8995");
    dialog.CheckBoxRequireTLSFromOutside->setChecked(false);
  };

  EXPECT_FALSE(RunDialog(dialog, settings, editAll, [&] { dialog.BitBtnCancel->click(); }));
  EXPECT_EQ(settings.ListeningPort, 123);
  EXPECT_EQ(dialog.LabeledEditListeningPort->text(), "123");
  EXPECT_EQ(dialog.LabeledEditMaxConnections->text(), "1");
  EXPECT_FALSE(dialog.CheckBoxAllowConnectionFromOutside->isChecked());
  EXPECT_EQ(dialog.LabeledEditTLSListeningPort->text(), "0");
  EXPECT_TRUE(dialog.CheckBoxRequireTLSFromOutside->isChecked());

  EXPECT_FALSE(
      RunDialog(dialog, settings, editAll, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }));
  EXPECT_EQ(settings.MaxConnections, 1);

  EXPECT_TRUE(RunDialog(dialog, settings, editAll, [&] { dialog.BitBtnOK->click(); }));
  EXPECT_EQ(settings.ListeningPort, 8110);
  EXPECT_EQ(settings.MaxConnections, 3);
  EXPECT_TRUE(settings.AllowConnectionFromOutside);
  EXPECT_EQ(settings.TLSListeningPort, 8995);
  EXPECT_FALSE(settings.RequireTLSFromOutside);
  EXPECT_EQ(settings.LogDirectory, "/var/log");
}

}  // namespace
}  // namespace quillbox
