#include "shell/qt/MainWindow.h"

#include <gtest/gtest.h>

#include <map>

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>

#include "shell/qt/FakeDialogs.h"
#include "shell/qt/LogView.h"

namespace quillbox {
namespace {

QStringList Captions(const QList<QAction*>& actions) {
  QStringList captions;
  for (const QAction* action : actions)
    captions << (action->isSeparator() ? "-" : action->text());
  return captions;
}

QByteArray ReadFile(const QString& name) {
  QFile file(name);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Makes a freedesktop icon theme in `folder` holding a 16-pixel icon for each of `names`, and the
// desktop's icon theme until the object ends.
class IconTheme {
 public:
  IconTheme(const QString& folder, const QStringList& names)
      : searchPaths_(QIcon::themeSearchPaths()), name_(QIcon::themeName()) {
    const QString theme = folder + "/test";
    QDir().mkpath(theme + "/16x16/actions");
    QFile index(theme + "/index.theme");
    if (index.open(QIODevice::WriteOnly))
      index.write(
          "[Icon Theme]\nName=test\nDirectories=16x16/actions\n\n"
          "[16x16/actions]\nSize=16\nType=Fixed\n");
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::red);
    for (const QString& name : names)
      image.save(theme + "/16x16/actions/" + name + ".png");
    QIcon::setThemeSearchPaths({folder});
    QIcon::setThemeName("test");
  }
  ~IconTheme() {
    QIcon::setThemeSearchPaths(searchPaths_);
    QIcon::setThemeName(name_);
  }

 private:
  QStringList searchPaths_;
  QString name_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  FakeDialogs dialogs_;
  TMainWindow window_{dialogs_};
  QTemporaryDir folder_;
};

TEST_F(MainWindowTest, MenuCaptionsAccessKeysAndOrder) {
  EXPECT_EQ(Captions(window_.menuBar()->actions()),
            (QStringList{"File(&F)", "Edit(&E)", "Option(&O)", "Help(&H)"}));
  EXPECT_EQ(
      Captions(window_.MainMenuFile->actions()),
      (QStringList{"Hide in the system tray(&H)", "Save log as(&S)...", "Exit / Terminate(&X)"}));
  EXPECT_EQ(Captions(window_.MainMenuEdit->actions()), (QStringList{"Copy(&C)", "Select All(&A)"}));
  EXPECT_EQ(Captions(window_.MainMenuOption->actions()),
            (QStringList{"Setting(&S)...", "Font(&F)...", "Test a sender(&T)...", "-",
                         "INI file name:"}));
  EXPECT_EQ(Captions(window_.MainMenuHelp->actions()), (QStringList{"About(&A)"}));
}

TEST_F(MainWindowTest, ItemsShowTheThemesIconsAndNothingWhereTheThemeHasNone) {
  const std::map<QString, QString> icons = {{"MainMenuFileSaveAs", "document-save"},
                                            {"MainMenuFileTerminate", "application-exit"},
                                            {"MainMenuEditCopy", "edit-copy"},
                                            {"MainMenuEditSelectAll", "edit-select-all"},
                                            {"MainMenuOptionFont", "preferences-desktop-font"},
                                            {"MainMenuHelpAbout", "help-about"}};
  QStringList everyName;
  for (const auto& [item, name] : icons)
    everyName << name;
  // (case, the icons the theme holds)
  const std::pair<const char*, QStringList> cases[] = {
      {"full theme", everyName},
      {"empty theme", {}},
      {"only the names' generic stems",
       {"document", "application", "edit", "preferences", "help"}}};
  for (const auto& [name, held] : cases) {
    SCOPED_TRACE(name);
    QTemporaryDir folder;
    const IconTheme theme(folder.path(), held);
    TMainWindow window(dialogs_);
    for (const QAction* action : window.findChildren<QAction*>()) {
      if (action->objectName().isEmpty())
        continue;  // the menus' own actions
      SCOPED_TRACE(action->objectName().toStdString());
      const auto icon = icons.find(action->objectName());
      const bool shown = icon != icons.end() && held.contains(icon->second);
      EXPECT_EQ(action->icon().isNull(), !shown);
      EXPECT_EQ(action->icon().name(), shown ? icon->second : QString());
    }
  }
}

TEST_F(MainWindowTest, DesignedBoundsEmptyStatusBarAndNoTaskbarButton) {
  EXPECT_EQ(window_.windowTitle(), "Quillbox");
  EXPECT_EQ(window_.geometry(), QRect(413, 122, 519, 284));
  EXPECT_EQ(window_.statusBar()->height(), 20);
  EXPECT_TRUE(window_.statusBar()->currentMessage().isEmpty());
  EXPECT_EQ(window_.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_FALSE(window_.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(MainWindowTest, LogWrapsInTheHiddenWindowAsItWillWhenShown) {
  window_.Memo().DisplayLine(QString("word ").repeated(300));
  const int hiddenRows = window_.Memo().RowCount();
  window_.ShowAndRaise();
  EXPECT_GT(hiddenRows, 3);
  EXPECT_EQ(window_.Memo().RowCount(), hiddenRows);
}

TEST_F(MainWindowTest, ClosingOnlyHides) {
  window_.ShowAndRaise();
  ASSERT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.close());
  EXPECT_FALSE(window_.isVisible());
  window_.ShowAndRaise();
  window_.MainMenuFileHideClick();
  EXPECT_FALSE(window_.isVisible());
}

TEST_F(MainWindowTest, SaveWritesCrLfLinesAndReplacesTheFile) {
  const QString name = folder_.filePath("log.TXT");
  {
    QFile old(name);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(5000, 'o'));
  }
  window_.Memo().DisplayLine("C->P    STAT");
  window_.Memo().DisplayLine("   P->S STAT");
  window_.LogDirectory = folder_.path();
  dialogs_.FileNames.push_back(name);
  window_.MainMenuFileSaveAsClick();
  EXPECT_EQ(dialogs_.AskedDirectories, QStringList{folder_.path()});
  EXPECT_EQ(ReadFile(name), "C->P    STAT\r\n   P->S STAT\r\n");
  EXPECT_TRUE(dialogs_.Shown.isEmpty());
}

TEST_F(MainWindowTest, SaveFailureShowsTheWarningAndKeepsTheText) {
  // A file in place of the folder defeats even a process that may write everywhere.
  QFile blocker(folder_.filePath("blocker"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const QString name = folder_.filePath("blocker/log.txt");
  window_.Memo().DisplayLine("kept");
  dialogs_.FileNames.push_back(name);
  window_.MainMenuFileSaveAsClick();
  EXPECT_EQ(dialogs_.Shown, QStringList{"warning: Could not save \"" + name + "\"."});
  EXPECT_EQ(window_.Memo().toPlainText(), "kept");
}

TEST_F(MainWindowTest, CancelledSaveWritesNothing) {
  dialogs_.FileNames.push_back(std::nullopt);
  window_.MainMenuFileSaveAsClick();
  EXPECT_TRUE(dialogs_.Shown.isEmpty());
  EXPECT_TRUE(QDir(folder_.path()).isEmpty());
}

TEST_F(MainWindowTest, FontReachesTheTextAreaAndOtherWindowsWithItsColour) {
  QFont chosen("Courier New", 14);
  chosen.setBold(true);
  dialogs_.Fonts.push_back(TFontChoice{chosen, QColor(Qt::darkGreen)});
  QFont received;
  QObject::connect(&window_, &TMainWindow::FontChanged,
                   [&](const QFont& font, QColor) { received = font; });
  window_.MainMenuOptionFontClick();
  EXPECT_EQ(window_.Memo().font().pointSize(), 14);
  EXPECT_TRUE(window_.Memo().font().bold());
  EXPECT_EQ(window_.Memo().palette().color(QPalette::Text), QColor(Qt::darkGreen));
  EXPECT_EQ(received.pointSize(), 14);
  EXPECT_EQ(window_.MainMenuFile->font(), QApplication::font());
  // The next opening offers what is in force, colour included.
  dialogs_.Fonts.push_back(std::nullopt);
  window_.MainMenuOptionFontClick();
  ASSERT_EQ(dialogs_.OfferedFonts.size(), 2u);
  EXPECT_EQ(dialogs_.OfferedFonts[1].Color, QColor(Qt::darkGreen));
  EXPECT_EQ(window_.Memo().font().pointSize(), 14);
}

TEST_F(MainWindowTest, SelectAllAndCopy) {
  window_.Memo().DisplayLine("one");
  window_.Memo().DisplayLine("two");
  window_.MainMenuEditSelectAllClick();
  window_.MainMenuEditCopyClick();
  EXPECT_EQ(window_.Memo().textCursor().selectedText(), QString("one") + QChar(0x2029) + "two");
}

TEST(SaveFilterSuffixTest, OnlyTheDialogsOwnFiltersChangeTheExtension) {
  // A native dialog may report a filter of its own making, or none at all.
  const std::pair<QString, const char*> cases[] = {
      {"Text files (*.txt)", "TXT"}, {"Log files (*.log)", "LOG"},
      {"All files (*.*)", "TXT"},    {"", nullptr},
      {"Log files", nullptr},        {"*.log", nullptr},
      {"LOG FILES (*.LOG)", nullptr}};
  for (const auto& [name, suffix] : cases)
    EXPECT_STREQ(SaveFilterSuffix(name), suffix) << name.toStdString();
}

}  // namespace
}  // namespace quillbox
