#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "shell/qt/HistoryModel.h"

class QTabWidget;

namespace quillbox {

class TDesktopDialogs;
class THistoryStats;

// The Messages tab: the history newest first with a status filter and a search box over From,
// Subject and the host name, the details of a row on a double-click, a context menu (copy the
// host name or the address, allow the sender), and the statistics beside the list.
// Not thread-safe: a widget, touched only on the user-interface thread.
class THistoryView : public QWidget {
  Q_OBJECT

 public:
  explicit THistoryView(TDesktopDialogs& dialogs, QWidget* parent = nullptr);

  // Appends an allow-list line and returns the file written (throws quillbox::Exception); the
  // text of a rule by its number, "" when unknown. Set by the desktop.
  std::function<std::string(const std::string& line)> AppendAllow;
  std::function<std::string(int rule)> RuleText;

  void Open(const std::string& fileName);
  // New rows committed: they appear at the top, and the statistics are counted again.
  void Refresh();

  THistoryModel& Model() { return model_; }
  QTableView& Table() { return *table_; }
  QComboBox& StatusFilter() { return *status_; }
  QLineEdit& Search() { return *search_; }
  THistoryStats& Stats() { return *stats_; }
  QTabWidget& Pages() { return *pages_; }

  // The commands of the context menu and the double-click, on a row of the list.
  void CopyHostName(int row);
  void CopyAddress(int row);
  void AllowSender(int row);
  void ShowDetails(int row);
  // Every stored field of a row, one a line.
  std::string DetailsText(const THistoryRow& row) const;

 private:
  void ApplyFilter();
  void ShowMenu(const QPoint& at);

  TDesktopDialogs& dialogs_;
  THistoryModel model_;
  QTabWidget* pages_;
  QTableView* table_;
  QComboBox* status_;
  QLineEdit* search_;
  THistoryStats* stats_;
  QTimer searchDelay_;  // a search of a million rows runs once typing pauses
};

}  // namespace quillbox
