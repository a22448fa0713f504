#include "shell/qt/LogView.h"

#include <gtest/gtest.h>

#include <QTextBlock>

namespace quillbox {
namespace {

class LogViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view_.resize(400, 300);
    view_.show();
  }
  TLogView view_;
};

TEST_F(LogViewTest, KeepsTheNewest1001RowsAfter1500Lines) {
  view_.DisplayLine("banner");
  for (int i = 1; i <= 1500; ++i)
    view_.DisplayLine(QString("line %1").arg(i));
  EXPECT_EQ(view_.RowCount(), 1001);
  EXPECT_EQ(view_.document()->blockCount(), 1001);
  EXPECT_EQ(view_.document()->begin().text(), "line 500");
  EXPECT_EQ(view_.document()->lastBlock().text(), "line 1500");
}

TEST_F(LogViewTest, WrappedLineCountsOncePerRowAndLosesItsFirstRowFirst) {
  const QString longLine = QString("word ").repeated(400);
  view_.DisplayLine(longLine);
  const int wrappedRows = view_.RowCount();
  ASSERT_GT(wrappedRows, 3);
  for (int i = 1; i <= 1000; ++i)
    view_.DisplayLine(QString("line %1").arg(i));
  // The long paragraph gave up one row per append once the area was full, down to its last.
  EXPECT_EQ(view_.RowCount(), 1001);
  EXPECT_EQ(view_.document()->blockCount(), 1001);
  EXPECT_EQ(view_.document()->lastBlock().text(), "line 1000");
  EXPECT_TRUE(view_.document()->begin().text().endsWith("word "));
  EXPECT_LT(view_.document()->begin().text().size(), longLine.size());
}

TEST_F(LogViewTest, LineBreaksFromAPeerCannotOpenParagraphs) {
  const QString hostile =
      QString("a\rb\nc") + QChar(0x2029) + "d" + QChar(0x2028) + "e" + QChar(0x85) + "f\x01\tg";
  for (int i = 0; i < 1200; ++i)
    view_.DisplayLine(hostile);
  EXPECT_EQ(view_.document()->blockCount(), 1001);
  EXPECT_EQ(view_.document()->lastBlock().text(), "a?b?c?d?e?f?\tg");
}

TEST_F(LogViewTest, WrapsAtItsWidthBeforeItWasEverShown) {
  const QString longLine = QString("word ").repeated(400);
  view_.DisplayLine(longLine);
  TLogView hidden;
  hidden.resize(view_.size());
  hidden.DisplayLine(longLine);
  EXPECT_EQ(hidden.RowCount(), view_.RowCount());
}

TEST_F(LogViewTest, SavedTextEndsEveryLineWithCrLfIncludingTypedText) {
  view_.DisplayLine("first");
  view_.DisplayLine(QString("x").repeated(300));
  view_.moveCursor(QTextCursor::End);
  view_.insertPlainText("\ntyped");
  EXPECT_EQ(view_.TextWithCrLf(), "first\r\n" + QByteArray(300, 'x') + "\r\ntyped\r\n");
}

}  // namespace
}  // namespace quillbox
