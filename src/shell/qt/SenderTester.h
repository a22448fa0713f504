#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/IniFiles.h"
#include "judge/JudgeFiles.h"
#include "net/IdStack.h"
#include "proxy/SenderReport.h"

class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quillbox {

// "Test a sender": the user pastes or drops a message (or types an address), chooses a rule
// file and reads the report quillbox-judge would print. The selection runs at once; the lookups
// run on a thread of the window's own while the window stays responsive and a busy bar shows.
// Closing the window, or testing anew, abandons them: their result is dropped, and the thread,
// told to give up, is joined when the window ends (a reverse lookup cannot be interrupted and
// ends within the system resolver's timeout). The last rule file used is kept in the INI
// file (section Tester, key RuleFile).
// Not thread-safe: a widget of the user-interface thread. Its lookup thread touches only the
// shared state it was given and posts its reports back to this thread.
class TSenderTester : public QWidget {
  Q_OBJECT

 public:
  // Lookups at stack (none: the system's) and the DNS servers' port; the proxy's lists in use.
  TSenderTester(std::function<std::shared_ptr<const TJudgeLists>()> lists, std::string iniFile,
                IniStorage& storage, TIdStack* stack = nullptr, int dnsPort = 53,
                QWidget* parent = nullptr);
  ~TSenderTester() override;

  QPlainTextEdit* Message;
  QLineEdit* Address;
  QLineEdit* RuleFile;
  QPushButton* Choose;
  QPushButton* Test;
  QProgressBar* Busy;
  QPlainTextEdit* Report;

  // Judges what the window holds: the address when one is typed, else the message.
  void TestClick();
  bool LookingUp() const { return lookingUp_; }

 signals:
  void Finished();  // a report is shown

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  std::vector<TSenderReport> Select(const TJudgeSetup& setup, QString& problem);
  void Show(const std::vector<TSenderReport>& reports);
  void Abandon();

  std::function<std::shared_ptr<const TJudgeLists>()> lists_;
  TIniFile ini_;
  TIdStack* stack_;
  TIdStackWindows systemStack_;
  int dnsPort_;
  bool lookingUp_ = false;
  int generation_ = 0;  // of the test whose result is awaited
  std::shared_ptr<std::atomic<bool>> cancel_;
  // Last: joined before the members they use go.
  std::vector<std::jthread> abandoned_;
  std::jthread lookups_;
};

}  // namespace quillbox
