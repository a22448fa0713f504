#include "shell/qt/LogView.h"

#include <QCoreApplication>
#include <QLayout>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

namespace quillbox {

TLogView::TLogView(QWidget* parent) : QPlainTextEdit(parent) {
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setUndoRedoEnabled(false);
}

int TLogView::RowsOf(const QTextBlock& block) const {
  // The plain-text layout wraps a paragraph only when it is asked for its size; asking makes
  // the row count real for paragraphs that have never been painted (a hidden window).
  document()->documentLayout()->blockBoundingRect(block);
  return std::max(1, block.layout()->lineCount());
}

int TLogView::RowCount() const {
  int rows = 0;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
    rows += RowsOf(block);
  return rows;
}

void TLogView::DeleteFirstRow() {
  const QTextBlock first = document()->begin();
  QTextCursor cursor(first);
  if (RowsOf(first) > 1) {
    const QTextLine row = first.layout()->lineAt(0);
    cursor.setPosition(first.position() + row.textStart() + row.textLength(),
                       QTextCursor::KeepAnchor);
  } else {
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
}

void TLogView::LayOutWhileHidden() {
  // A hidden window gets its geometry only when it is shown. The log fills up while the window
  // sits in the tray, so its lines must wrap at the width they will be shown with.
  if (isVisible())
    return;
  if (QLayout* top = window()->layout())
    top->activate();
  if (size() == hiddenSize_)
    return;
  hiddenSize_ = size();
  // What showing would deliver: the area places its viewport, the viewport's resize wraps.
  QResizeEvent area(size(), QSize());
  QCoreApplication::sendEvent(this, &area);
  QResizeEvent view(viewport()->size(), QSize());
  QCoreApplication::sendEvent(viewport(), &view);
}

QString TLogView::OneParagraph(QString line) {
  // Peers put any byte into a log line. A line break of any kind would open paragraphs that no
  // trimming accounts for, so a hostile peer could grow the area without bound.
  for (QChar& c : line) {
    const char16_t u = c.unicode();
    if ((u < 0x20 && u != '\t') || u == 0x7f || u == 0x85 || u == 0x2028 || u == 0x2029)
      c = u'?';
  }
  return line;
}

void TLogView::DisplayLine(const QString& line) {
  LayOutWhileHidden();
  if (RowCount() > kMaxRows)
    DeleteFirstRow();
  QScrollBar* bar = verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  if (!document()->isEmpty())
    cursor.insertBlock();
  cursor.insertText(OneParagraph(line));
  if (atEnd)
    bar->setValue(bar->maximum());
}

QByteArray TLogView::TextWithCrLf() const {
  QByteArray out;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
    out += block.text().toUtf8();
    out += "\r\n";
  }
  return out;
}

}  // namespace quillbox
