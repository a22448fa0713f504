#include "shell/qt/HistoryView.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>
#include <QVBoxLayout>

#include "base/Exception.h"
#include "shell/AllowSender.h"
#include "shell/qt/DesktopDialogs.h"
#include "shell/qt/HistoryStats.h"

namespace quillbox {
namespace {

constexpr int kSearchDelayMs = 300;

}  // namespace

THistoryView::THistoryView(TDesktopDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      dialogs_(dialogs),
      pages_(new QTabWidget),
      table_(new QTableView),
      status_(new QComboBox),
      search_(new QLineEdit),
      stats_(new THistoryStats) {
  status_->setObjectName("HistoryStatus");
  status_->addItem("All", "");
  status_->addItem("Suspicious", QString::fromUtf8(kSuspicious.data(), kSuspicious.size()));
  for (const std::string_view kind : kStatusKinds)
    status_->addItem(QString::fromUtf8(kind.data(), kind.size()),
                     QString::fromUtf8(kind.data(), kind.size()));
  search_->setObjectName("HistorySearch");
  search_->setPlaceholderText("Search From, Subject and host");
  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel("Status:"));
  bar->addWidget(status_);
  bar->addWidget(search_, 1);

  table_->setObjectName("HistoryTable");
  table_->setModel(&model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  // Fixed row heights: the view never measures a million rows.
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setColumnWidth(THistoryModel::kTime, 150);
  table_->setColumnWidth(THistoryModel::kSubject, 200);

  auto* list = new QWidget;
  auto* listLayout = new QVBoxLayout(list);
  listLayout->setContentsMargins(2, 2, 2, 2);
  listLayout->addLayout(bar);
  listLayout->addWidget(table_);
  pages_->setObjectName("HistoryPages");
  pages_->addTab(list, "List");
  pages_->addTab(stats_, "Statistics");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pages_);

  searchDelay_.setSingleShot(true);
  searchDelay_.setInterval(kSearchDelayMs);
  connect(&searchDelay_, &QTimer::timeout, this, &THistoryView::ApplyFilter);
  connect(search_, &QLineEdit::textChanged, this, [this] { searchDelay_.start(); });
  connect(status_, &QComboBox::currentIndexChanged, this, &THistoryView::ApplyFilter);
  connect(table_, &QTableView::doubleClicked, this,
          [this](const QModelIndex& index) { ShowDetails(index.row()); });
  connect(table_, &QTableView::customContextMenuRequested, this, &THistoryView::ShowMenu);
  connect(pages_, &QTabWidget::currentChanged, this, [this] { stats_->Update(model_.Reader()); });
}

void THistoryView::Open(const std::string& fileName) {
  model_.Open(fileName);
  stats_->Update(model_.Reader());
}

void THistoryView::Refresh() {
  model_.Refresh();
  if (pages_->currentWidget() == stats_)
    stats_->Update(model_.Reader());
}

void THistoryView::ApplyFilter() {
  searchDelay_.stop();
  model_.SetFilter({status_->currentData().toString().toStdString(),
                    search_->text().trimmed().toStdString(), 0});
}

void THistoryView::ShowMenu(const QPoint& at) {
  const QModelIndex index = table_->indexAt(at);
  if (!index.isValid())
    return;
  const int row = index.row();
  QMenu menu(this);
  menu.addAction("Copy host name", this, [this, row] { CopyHostName(row); });
  menu.addAction("Copy address", this, [this, row] { CopyAddress(row); });
  menu.addSeparator();
  menu.addAction("Allow this sender…", this, [this, row] { AllowSender(row); });
  menu.exec(table_->viewport()->mapToGlobal(at));
}

void THistoryView::CopyHostName(int row) {
  if (const auto r = model_.RowAt(row))
    QGuiApplication::clipboard()->setText(QString::fromStdString(r->HostName));
}

void THistoryView::CopyAddress(int row) {
  if (const auto r = model_.RowAt(row))
    QGuiApplication::clipboard()->setText(QString::fromStdString(r->Address));
}

void THistoryView::AllowSender(int row) {
  const auto r = model_.RowAt(row);
  if (!r || !AppendAllow)
    return;
  const std::string proposed = ProposedAllowLine(*r);
  if (proposed.empty()) {
    dialogs_.ShowWarning("This message's sender was not judged: there is nobody to allow.");
    return;
  }
  const std::optional<QString> edited = dialogs_.AskText(
      "Allow this sender",
      QString::fromStdString(
          r->Confirmed ? "The host name led back to the sender's address, so its domain can be "
                         "allowed. This line goes into S25R_Allow.txt:"
                       : "The host name did not lead back to the sender's address, so only the "
                         "address can be allowed. This line goes into S25R_Allow.txt:"),
      QString::fromStdString(proposed));
  if (!edited)
    return;
  const std::string line = edited->trimmed().toStdString();
  if (const std::string problem = AllowLineProblem(line); !problem.empty()) {
    dialogs_.ShowWarning("\"" + line + "\" cannot go into the allow list: " + problem);
    return;
  }
  try {
    const std::string file = AppendAllow(line);
    dialogs_.ShowInformation("\"" + line + "\" was added to " + file +
                             ". The next judgment uses it.");
  } catch (const Exception& e) {
    dialogs_.ShowError("The allow list could not be written: " + e.Message());
  }
}

std::string THistoryView::DetailsText(const THistoryRow& r) const {
  std::string text;
  const auto line = [&](const char* name, const std::string& value) {
    text += std::string(name) + ": " + value + "\n";
  };
  line("Time", QDateTime::fromSecsSinceEpoch(r.Time).toString("yyyy-MM-dd HH:mm:ss").toStdString());
  line("Account", r.Account);
  line("Command", r.Command + " " + std::to_string(r.Number));
  line("UIDL", r.Uidl);
  line("Message-ID", r.MessageId);
  line("Date", r.Date);
  line("From", r.From);
  line("Subject", r.Subject);
  line("Sender address", r.Address);
  line("Host name", r.HostName);
  line("Looked-up address", r.LookedUpAddress);
  line("Paranoid check", r.Confirmed ? "passed" : "not passed");
  line("Status", r.Status);
  if (r.Rule > 0)
    line("Rule", RuleText ? RuleText(static_cast<int>(r.Rule)) : std::to_string(r.Rule));
  if (!r.AllowEntry.empty()) {
    line("Allowed by", r.AllowList +
                           (r.AllowLine > 0 ? " line " + std::to_string(r.AllowLine) : "") + " (" +
                           r.AllowEntry + ")");
    line("Would be", r.ReplacedStatus);
  }
  line("From the verdict cache", r.Cached ? "yes" : "no");
  line("Size", std::to_string(r.Size) + " bytes");
  return text;
}

void THistoryView::ShowDetails(int row) {
  if (const auto r = model_.RowAt(row))
    dialogs_.ShowInformation(DetailsText(*r));
}

}  // namespace quillbox
