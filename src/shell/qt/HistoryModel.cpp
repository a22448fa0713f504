#include "shell/qt/HistoryModel.h"

#include <QDateTime>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace quillbox {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

// A small shape for each status kind, drawn in the status's colour.
QIcon DrawIcon(const QString& kind, QColor color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(color, 2));
  painter.setBrush(color);
  if (kind == "Normal") {
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(QPolygon({QPoint(3, 8), QPoint(7, 12), QPoint(13, 4)}));
  } else if (kind == "S25R Rule") {
    painter.drawPolygon(QPolygon({QPoint(8, 2), QPoint(14, 14), QPoint(2, 14)}));
  } else if (kind == "Unknown") {
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(3, 3, 10, 10);
  } else {
    painter.drawRect(3, 3, 10, 10);
  }
  return QIcon(pixmap);
}

}  // namespace

THistoryModel::THistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

QColor THistoryModel::StatusColor(const std::string& status) {
  const std::string kind = StatusKind(status);
  if (kind == "Normal")
    return QColor(0x1b, 0x7a, 0x2e);
  if (kind == "S25R Rule")
    return QColor(0xb0, 0x20, 0x20);
  if (kind == "Reverse lookup failure")
    return QColor(0xb3, 0x5c, 0x00);
  if (kind == "Forward lookup failure")
    return QColor(0x80, 0x30, 0x90);
  if (kind == "Paranoid check failure")
    return QColor(0x90, 0x60, 0x30);
  return QColor(0x70, 0x70, 0x70);
}

QIcon THistoryModel::StatusIcon(const std::string& status) {
  static std::map<std::string, QIcon> icons;
  const std::string kind = StatusKind(status);
  auto found = icons.find(kind);
  if (found == icons.end())
    found = icons.emplace(kind, DrawIcon(Text(kind), StatusColor(status))).first;
  return found->second;
}

void THistoryModel::Open(const std::string& fileName) {
  fileName_ = fileName;
  Reload();
}

void THistoryModel::SetFilter(const THistoryFilter& filter) {
  filter_ = filter;
  Reload();
}

void THistoryModel::Reload() {
  beginResetModel();
  pages_.clear();
  pageOrder_.clear();
  count_ = 0;
  topId_ = 0;
  try {
    if (!reader_ && !fileName_.empty())
      reader_ = std::make_unique<THistoryReader>(fileName_);
    if (reader_) {
      topId_ = reader_->LastId();
      count_ = static_cast<int>(reader_->Count(filter_, 0, topId_));
    }
  } catch (const ESqliteError&) {
    reader_.reset();
  }
  endResetModel();
}

void THistoryModel::Refresh() {
  if (!reader_) {
    Reload();
    return;
  }
  try {
    const int64_t last = reader_->LastId();
    if (last <= topId_)
      return;
    const int added = static_cast<int>(reader_->Count(filter_, topId_, last));
    topId_ = last;
    if (added == 0)
      return;
    beginInsertRows(QModelIndex(), 0, added - 1);
    count_ += added;
    pages_.clear();
    pageOrder_.clear();
    endInsertRows();
  } catch (const ESqliteError&) {
    Reload();
  }
}

const std::vector<THistoryRow>* THistoryModel::Page(int page) const {
  if (const auto found = pages_.find(page); found != pages_.end()) {
    pageOrder_.erase(std::find(pageOrder_.begin(), pageOrder_.end(), page));
    pageOrder_.push_back(page);
    return &found->second;
  }
  if (!reader_)
    return nullptr;
  std::vector<THistoryRow> rows;
  try {
    // Reading on from the page before is an index lookup; a jump counts its way to the page.
    const auto before = pages_.find(page - 1);
    if (before != pages_.end() && !before->second.empty())
      rows = reader_->Page(filter_, 0, kPageRows, topId_, before->second.back().Id);
    else
      rows = reader_->Page(filter_, int64_t{page} * kPageRows, kPageRows, topId_);
  } catch (const ESqliteError&) {
    return nullptr;
  }
  if (pageOrder_.size() >= kKeptPages) {
    pages_.erase(pageOrder_.front());
    pageOrder_.erase(pageOrder_.begin());
  }
  pageOrder_.push_back(page);
  return &pages_.emplace(page, std::move(rows)).first->second;
}

std::optional<THistoryRow> THistoryModel::RowAt(int row) const {
  if (row < 0 || row >= count_)
    return std::nullopt;
  const std::vector<THistoryRow>* page = Page(row / kPageRows);
  const size_t at = static_cast<size_t>(row % kPageRows);
  if (!page || at >= page->size())
    return std::nullopt;
  return (*page)[at];
}

int THistoryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count_;
}

int THistoryModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant THistoryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ForegroundRole &&
                           role != Qt::DecorationRole && role != Qt::ToolTipRole))
    return {};
  const std::vector<THistoryRow>* page = Page(index.row() / kPageRows);
  const size_t at = static_cast<size_t>(index.row() % kPageRows);
  if (!page || at >= page->size())
    return {};
  const THistoryRow& r = (*page)[at];
  if (role == Qt::ForegroundRole)
    return StatusColor(r.Status);
  if (role == Qt::DecorationRole)
    return index.column() == kStatus ? QVariant(StatusIcon(r.Status)) : QVariant();
  switch (index.column()) {
    case kTime:
      return QDateTime::fromSecsSinceEpoch(r.Time).toString("yyyy-MM-dd HH:mm:ss");
    case kFrom:
      return Text(r.From);
    case kSubject:
      return Text(r.Subject);
    case kHost:
      return Text(r.HostName);
    case kAddress:
      return Text(r.Address);
    case kStatus:
      return Text(r.AllowEntry.empty() ? r.Status : r.Status + " (allowed)");
  }
  return {};
}

QVariant THistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
    return {};
  static const char* const kNames[kColumns] = {"Time",        "From",    "Subject",
                                               "Sender host", "Address", "Status"};
  return section >= 0 && section < kColumns ? QVariant(kNames[section]) : QVariant();
}

}  // namespace quillbox
