#pragma once

#include <QWidget>
#include <cstdint>

class QChart;
class QChartView;

namespace quillbox {

class THistoryReader;

// The statistics of the history: messages per day by status for the last 30 days (stacked
// bars), the verdicts by status and rule, and the ten sender domains flagged most often.
// Not thread-safe: a widget, touched only on the user-interface thread.
class THistoryStats : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDays = 30;
  static constexpr int kDomains = 10;

  explicit THistoryStats(QWidget* parent = nullptr);

  // Counts again from reader (none: empty charts), days ending with the day of now.
  void Update(THistoryReader* reader, int64_t now = 0);

  QChart& PerDay() const { return *perDay_; }
  QChart& PerStatus() const { return *perStatus_; }
  QChart& Domains() const { return *domains_; }

 private:
  QChart* perDay_;
  QChart* perStatus_;
  QChart* domains_;
};

}  // namespace quillbox
