#include "shell/qt/SenderTester.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "proxy/MessageSource.h"
#include "proxy/RuleFile.h"

namespace quillbox {
namespace {

constexpr const char* kSection = "Tester";
constexpr qint64 kMaxDropped = 16 * 1024 * 1024;  // a message, not a whole mailbox

}  // namespace

TSenderTester::TSenderTester(std::function<std::shared_ptr<const TJudgeLists>()> lists,
                             std::string iniFile, IniStorage& storage, TIdStack* stack, int dnsPort,
                             QWidget* parent)
    : QWidget(parent, Qt::Window),
      lists_(std::move(lists)),
      ini_(std::move(iniFile), storage),
      stack_(stack ? stack : &systemStack_),
      dnsPort_(dnsPort) {
  setObjectName("FormTester");
  setWindowTitle("Test a sender");
  setAcceptDrops(true);
  Message = new QPlainTextEdit;
  Message->setObjectName("Message");
  Message->setPlaceholderText("Paste a message with its header here, or drop a message file.");
  Message->setAcceptDrops(false);
  // A message holds no tabs worth typing; the key moves on to the address.
  Message->setTabChangesFocus(true);
  Address = new QLineEdit;
  Address->setObjectName("Address");
  Address->setPlaceholderText("or an IPv4 or IPv6 address");
  RuleFile = new QLineEdit(QString::fromStdString(ini_.ReadString(kSection, "RuleFile", "")));
  RuleFile->setObjectName("RuleFile");
  Choose = new QPushButton("Choose(&C)...");
  Test = new QPushButton("Test(&T)");
  Test->setDefault(true);
  Busy = new QProgressBar;
  Busy->setRange(0, 0);  // no end known: it moves while the lookups run
  Busy->setTextVisible(false);
  QSizePolicy keepsItsPlace = Busy->sizePolicy();
  keepsItsPlace.setRetainSizeWhenHidden(true);
  Busy->setSizePolicy(keepsItsPlace);
  Busy->hide();
  Report = new QPlainTextEdit;
  Report->setObjectName("Report");
  Report->setReadOnly(true);
  Report->setLineWrapMode(QPlainTextEdit::NoWrap);
  Report->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  auto* rule = new QHBoxLayout;
  rule->addWidget(RuleFile, 1);
  rule->addWidget(Choose);
  auto* form = new QFormLayout;
  form->addRow("Address:", Address);
  form->addRow("Rule file:", rule);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Busy, 1);
  buttons->addWidget(Test);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Message, 2);
  layout->addLayout(form);
  layout->addLayout(buttons);
  layout->addWidget(Report, 3);
  resize(760, 560);
  setTabOrder(Message, Address);
  setTabOrder(Address, RuleFile);
  setTabOrder(RuleFile, Choose);
  setTabOrder(Choose, Test);
  setTabOrder(Test, Report);

  connect(Test, &QPushButton::clicked, this, &TSenderTester::TestClick);
  connect(Address, &QLineEdit::returnPressed, this, &TSenderTester::TestClick);
  connect(Choose, &QPushButton::clicked, this, [this] {
    const QString name = QFileDialog::getOpenFileName(this, "Rule file", RuleFile->text(),
                                                      "Rule files (*.ini);;All files (*)");
    if (!name.isEmpty())
      RuleFile->setText(name);
  });
}

TSenderTester::~TSenderTester() {
  Abandon();
}

void TSenderTester::Abandon() {
  if (cancel_)
    *cancel_ = true;
  ++generation_;
  lookingUp_ = false;
  Busy->hide();
  Test->setEnabled(true);
}

std::vector<TSenderReport> TSenderTester::Select(const TJudgeSetup& setup, QString& problem) {
  std::vector<TSenderReport> reports;
  const std::string address = Address->text().trimmed().toStdString();
  if (!address.empty()) {
    if (const auto key = TypedAddress(address))
      reports.push_back(AddressReport(*key));
    else
      problem = "This is no IPv4 or IPv6 address: " + Address->text();
    return reports;
  }
  try {
    ReadMessagesOfText("the message", Message->toPlainText().toStdString(),
                       [&](TInputMessage m) { reports.push_back(ReportOfMessage(setup, m)); });
  } catch (const EInputError& e) {
    problem = QString::fromStdString(e.Message());
  }
  return reports;
}

void TSenderTester::TestClick() {
  Abandon();
  if (lookups_.joinable())
    abandoned_.push_back(std::move(lookups_));
  const std::string ruleFile = RuleFile->text().trimmed().toStdString();
  QString problem;
  std::shared_ptr<TJudgeSetup> setup;
  try {
    setup = std::make_shared<TJudgeSetup>(LoadJudgeSetup(ruleFile, lists_()));
    if (ini_.ReadString(kSection, "RuleFile", "") != ruleFile)
      ini_.WriteString(kSection, "RuleFile", ruleFile);
  } catch (const ERuleFileError& e) {
    problem = "The rule file cannot be used; the proxy would answer -ERR " +
              QString::fromStdString(e.Message());
  } catch (const EIniFileError& e) {
    problem = QString::fromStdString(e.Message());
  }
  std::vector<TSenderReport> reports;
  if (setup && problem.isEmpty())
    reports = Select(*setup, problem);
  if (!problem.isEmpty() || reports.empty()) {
    Report->setPlainText(problem.isEmpty() ? "There is no message to test." : problem);
    emit Finished();
    return;
  }
  Show(reports);
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  lookingUp_ = true;
  Busy->show();
  Test->setEnabled(false);
  lookups_ = std::jthread([this, setup, reports = std::move(reports), cancel = cancel_,
                           generation = generation_, stack = stack_, port = dnsPort_]() mutable {
    LookUpReports(reports, *setup, *stack, port, *cancel);
    QMetaObject::invokeMethod(
        this,
        [this, reports = std::move(reports), generation] {
          if (generation != generation_)
            return;
          lookingUp_ = false;
          Busy->hide();
          Test->setEnabled(true);
          Show(reports);
          emit Finished();
        },
        Qt::QueuedConnection);
  });
}

void TSenderTester::Show(const std::vector<TSenderReport>& reports) {
  QString text;
  for (const TSenderReport& report : reports) {
    for (const std::string& line : ReportText(report, 0))
      text += QString::fromStdString(line) + "\n";
    text += "\n";
  }
  Report->setPlainText(text);
}

void TSenderTester::closeEvent(QCloseEvent* event) {
  Abandon();
  event->accept();
}

void TSenderTester::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() || event->mimeData()->hasText())
    event->acceptProposedAction();
}

void TSenderTester::dropEvent(QDropEvent* event) {
  const QMimeData* data = event->mimeData();
  if (data->hasUrls() && data->urls().front().isLocalFile()) {
    QFile file(data->urls().front().toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
      Report->setPlainText(file.fileName() + " cannot be read: " + file.errorString());
      return;
    }
    Message->setPlainText(QString::fromLatin1(file.read(kMaxDropped)));
  } else if (data->hasText()) {
    Message->setPlainText(data->text());
  }
  Address->clear();
  event->acceptProposedAction();
}

}  // namespace quillbox
