#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace quillbox {

// The log text area. It wraps at its width and keeps at most kMaxRows + 1 rows as it shows
// them, so a long line that wraps counts once per row: the budget bounds what the user scrolls
// through and what each append costs, however long the program runs.
// Not thread-safe: a widget, touched only on the user-interface thread.
class TLogView : public QPlainTextEdit {
  Q_OBJECT

 public:
  static constexpr int kMaxRows = 1000;

  explicit TLogView(QWidget* parent = nullptr);

  // Drops the first row when more than kMaxRows are shown, then appends the line as one
  // paragraph: control characters and line separators in it show as '?'. One append removes at
  // most one row, so the area holds kMaxRows + 1 rows at the most.
  void DisplayLine(const QString& line);

  // Rows as shown: every paragraph counts once per wrapped row.
  int RowCount() const;

  // The text as the area holds it, each paragraph ended by CR LF; wrapping adds no line break.
  QByteArray TextWithCrLf() const;

 private:
  static QString OneParagraph(QString line);
  void LayOutWhileHidden();
  void DeleteFirstRow();
  int RowsOf(const QTextBlock& block) const;

  QSize hiddenSize_;
};

}  // namespace quillbox
