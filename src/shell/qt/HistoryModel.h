#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryReader.h"

namespace quillbox {

// The history's rows for the Messages view, newest first, read in pages of kPageRows as the
// view asks for them, so that a history of a million rows opens at once: only its count and
// the pages in sight are read, and at most kKeptPages pages are kept. The rows are pinned to
// those up to the newest Id seen, so that rows committed meanwhile never shift a page; Refresh
// brings them in at the top.
// Not thread-safe: user-interface thread only.
class THistoryModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn { kTime, kFrom, kSubject, kHost, kAddress, kStatus, kColumns };
  static constexpr int kPageRows = 200;
  static constexpr size_t kKeptPages = 16;

  explicit THistoryModel(QObject* parent = nullptr);

  // Reads fileName from now on; an empty name or a file that cannot be read shows no rows.
  void Open(const std::string& fileName);
  void SetFilter(const THistoryFilter& filter);
  const THistoryFilter& Filter() const { return filter_; }
  // Brings in the rows committed since the last look, at the top.
  void Refresh();
  // The row shown at row; none outside the rows.
  std::optional<THistoryRow> RowAt(int row) const;
  // The reader, for statistics; none while no file can be read.
  THistoryReader* Reader() const { return reader_.get(); }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // How a status shows besides its text: a colour and a shape, so that it does not rest on
  // colour alone.
  static QColor StatusColor(const std::string& status);
  static QIcon StatusIcon(const std::string& status);

 private:
  const std::vector<THistoryRow>* Page(int page) const;
  void Reload();

  std::string fileName_;
  std::unique_ptr<THistoryReader> reader_;
  THistoryFilter filter_;
  int64_t topId_ = 0;
  int count_ = 0;
  mutable std::map<int, std::vector<THistoryRow>> pages_;
  mutable std::vector<int> pageOrder_;  // the pages kept, least recently read first
};

}  // namespace quillbox
