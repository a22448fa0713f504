#include "shell/qt/FormSettings.h"

#include <gtest/gtest.h>

#include <QCheckBox>
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
  };
  const Case cases[] = {
      {"", "123", "1"},
      {"-", "123", "1"},
      {"abc", "123", "1"},
      {"110", "110", "110"},
      {"0", "0", "1"},
      {"-5", "-5", "1"},
      {"0110", "110", "110"},
      {"70000", "70000", "70000"},
      {"99999999999", "123", "1"},
  };
  TFormSettings dialog;
  for (const Case& c : cases) {
    dialog.SetControls({7, 7, false, ""});
    dialog.LabeledEditListeningPort->setText(c.typed);
    dialog.LabeledEditMaxConnections->setText(c.typed);
    EXPECT_EQ(dialog.LabeledEditListeningPort->text(), c.port) << c.typed;
    EXPECT_EQ(dialog.LabeledEditMaxConnections->text(), c.limit) << c.typed;
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
  EXPECT_EQ(dialog.size(), QSize(515, 294));
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
  };

  EXPECT_FALSE(RunDialog(dialog, settings, editAll, [&] { dialog.BitBtnCancel->click(); }));
  EXPECT_EQ(settings.ListeningPort, 123);
  EXPECT_EQ(dialog.LabeledEditListeningPort->text(), "123");
  EXPECT_EQ(dialog.LabeledEditMaxConnections->text(), "1");
  EXPECT_FALSE(dialog.CheckBoxAllowConnectionFromOutside->isChecked());

  EXPECT_FALSE(
      RunDialog(dialog, settings, editAll, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }));
  EXPECT_EQ(settings.MaxConnections, 1);

  EXPECT_TRUE(RunDialog(dialog, settings, editAll, [&] { dialog.BitBtnOK->click(); }));
  EXPECT_EQ(settings.ListeningPort, 8110);
  EXPECT_EQ(settings.MaxConnections, 3);
  EXPECT_TRUE(settings.AllowConnectionFromOutside);
  EXPECT_EQ(settings.LogDirectory, "/var/log");
}

}  // namespace
}  // namespace quillbox
