#include "shell/qt/HistoryStats.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDate>
#include <QHBoxLayout>
#include <QHorizontalBarSeries>
#include <QStackedBarSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <map>

#include "history/HistoryReader.h"
#include "history/HistoryWriter.h"
#include "shell/qt/HistoryModel.h"

namespace quillbox {
namespace {

constexpr int64_t kDaySeconds = 24 * 60 * 60;

QChart* AddChart(QHBoxLayout* layout, const QString& title, int stretch) {
  auto* chart = new QChart;
  chart->setTitle(title);
  chart->legend()->setAlignment(Qt::AlignBottom);
  QFont small = chart->legend()->font();
  small.setPointSizeF(small.pointSizeF() * 0.8);
  chart->legend()->setFont(small);
  chart->setMargins(QMargins(2, 2, 2, 2));
  auto* view = new QChartView(chart);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(120, 100);
  layout->addWidget(view, stretch);
  return chart;
}

// An axis of counts with whole-number ticks from 0 to at least most.
QValueAxis* CountAxis(qreal most) {
  auto* axis = new QValueAxis;
  const int top = std::max(1, static_cast<int>(std::ceil(most)));
  const int step = std::max(1, (top + 3) / 4);
  axis->setRange(0, step * ((top + step - 1) / step));
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0);
  axis->setTickInterval(step);
  axis->setLabelFormat("%d");
  return axis;
}

void Clear(QChart& chart) {
  chart.removeAllSeries();
  for (QAbstractAxis* axis : chart.axes()) {
    chart.removeAxis(axis);
    delete axis;
  }
}

// Bars of counts, one for each name, the largest first from the top.
void HorizontalBars(QChart& chart, const std::vector<THistoryReader::TCount>& counts,
                    QColor color) {
  Clear(chart);
  auto* set = new QBarSet("Messages");
  set->setColor(color);
  QStringList names;
  for (auto c = counts.rbegin(); c != counts.rend(); ++c) {
    *set << static_cast<qreal>(c->Count);
    names << QString::fromStdString(c->Name);
  }
  auto* series = new QHorizontalBarSeries;
  series->append(set);
  chart.addSeries(series);
  auto* axis = new QBarCategoryAxis;
  axis->append(names);
  chart.addAxis(axis, Qt::AlignLeft);
  series->attachAxis(axis);
  auto* values = CountAxis(counts.empty() ? 1 : static_cast<qreal>(counts.front().Count));
  chart.addAxis(values, Qt::AlignBottom);
  series->attachAxis(values);
  chart.legend()->hide();
}

}  // namespace

THistoryStats::THistoryStats(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  perDay_ = AddChart(layout, "Messages per day", 2);
  perStatus_ = AddChart(layout, "Verdicts", 1);
  domains_ = AddChart(layout, "Flagged sender domains", 1);
}

void THistoryStats::Update(THistoryReader* reader, int64_t now) {
  if (now == 0)
    now = SystemSeconds();
  const int64_t since = LocalDayStart(now) - (kDays - 1) * kDaySeconds;
  std::vector<THistoryReader::TDayCount> days;
  std::vector<THistoryReader::TCount> statuses, domains;
  try {
    if (reader) {
      days = reader->PerDay(since);
      statuses = reader->PerStatus(since);
      domains = reader->TopFlaggedDomains(since, kDomains);
    }
  } catch (const ESqliteError&) {
  }
  // Every day of the range has its bar, an empty one too.
  QStringList dayNames;
  std::map<std::string, int> dayIndex;
  const QDate first = QDateTime::fromSecsSinceEpoch(since).date();
  for (int d = 0; d < kDays; ++d) {
    dayIndex[first.addDays(d).toString("yyyy-MM-dd").toStdString()] = d;
    // Every seventh day named, counting back from today, so that the names fit.
    dayNames << ((kDays - 1 - d) % 7 ? QString(d + 1, QChar(0x200B))
                                     : first.addDays(d).toString("MM-dd"));
  }
  Clear(*perDay_);
  auto* series = new QStackedBarSeries;
  QList<qreal> totals(kDays, 0);
  for (const std::string_view kind : kStatusKinds) {
    auto* set = new QBarSet(QString::fromUtf8(kind.data(), kind.size()));
    set->setColor(THistoryModel::StatusColor(std::string(kind)));
    QList<qreal> values(kDays, 0);
    for (const auto& d : days) {
      if (d.Kind == kind && dayIndex.count(d.Day))
        values[dayIndex[d.Day]] += static_cast<qreal>(d.Count);
    }
    for (int d = 0; d < kDays; ++d)
      totals[d] += values[d];
    set->append(values);
    series->append(set);
  }
  perDay_->addSeries(series);
  auto* axis = new QBarCategoryAxis;
  axis->append(dayNames);
  perDay_->addAxis(axis, Qt::AlignBottom);
  series->attachAxis(axis);
  auto* values = CountAxis(*std::max_element(totals.begin(), totals.end()));
  perDay_->addAxis(values, Qt::AlignLeft);
  series->attachAxis(values);
  HorizontalBars(*perStatus_, statuses, QColor(0x40, 0x60, 0xa0));
  HorizontalBars(*domains_, domains, THistoryModel::StatusColor("S25R Rule"));
}

}  // namespace quillbox
