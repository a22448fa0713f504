// quillboxd: Quillbox without windows. The log goes to standard output, start-up failures to
// standard error. SIGINT, SIGTERM or SIGHUP stop the listener and end the program with status 0;
// the INI file is only read, never written. --history and --stats print the history and exit.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "shell/HistoryCommand.h"
#include "shell/Quillbox_Main.h"
#include "shell/StopSignals.h"

namespace quillbox {
namespace {

// Exit statuses, as the README lists them.
constexpr int kExitStopped = 0;
constexpr int kExitStartFailed = 1;

class StdoutTextArea : public TextArea {
 public:
  // Write errors (a closed terminal, a full disk) are ignored: the proxy goes on without a log.
  void AppendLine(const std::string& line) override {
    const std::string safe = TerminalSafeLine(line);
    std::fwrite(safe.data(), 1, safe.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
};

class StderrMessages : public MessageBoxes {
 public:
  void ShowError(const std::string& text) override { Print("quillboxd: ", text); }
  void ShowInformation(const std::string& text) override { Print("", text); }
  void ShowWarning(const std::string& text) override { Print("quillboxd: warning: ", text); }

 private:
  static void Print(const char* prefix, const std::string& text) {
    std::fprintf(stderr, "%s%s\n", prefix, text.c_str());
    std::fflush(stderr);
  }
};

// There is nothing to animate without a tray.
class NoIndicator : public ConnectionIndicator {
 public:
  void EnableTimer() override {}
};

int Run(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (IsHistoryCommand(arguments)) {
    const TStartupEnvironment environment{.Arguments = arguments};
    return RunHistoryCommand(arguments, HistoryFileName(IniFileNameOf(environment)),
                             SystemSeconds(), std::cout, std::cerr);
  }
  // Before any thread starts, so that the stop signals reach only the Wait below.
  TStopSignals stopSignals;
  // A reader of standard output that went away must not end the proxy.
  signal(SIGPIPE, SIG_IGN);

  StdoutTextArea memo;
  StderrMessages messages;
  NoIndicator indicator;
  TMemoQueue queue;
  TStartupEnvironment environment;
  environment.Arguments = arguments;
  TFormMain form(queue, indicator, memo, messages, std::move(environment));
  if (!form.FormCreate())
    return kExitStartFailed;

  std::promise<void> printerDone;
  std::future<void> printerFinished = printerDone.get_future();
  std::thread printer([&queue, &memo, &printerDone] {
    std::vector<std::string> lines;
    while (queue.WaitAndTakeAll(lines, std::chrono::milliseconds(500))) {
      for (const std::string& line : lines)
        memo.AppendLine(line);
    }
    printerDone.set_value();
  });

  stopSignals.Wait();
  form.Shutdown();
  // The printer may be stuck writing to a reader that stopped reading; that must not keep the
  // program from ending.
  if (printerFinished.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
    std::_Exit(kExitStopped);
  printer.join();
  return kExitStopped;
}

}  // namespace
}  // namespace quillbox

int main(int argc, char** argv) {
  try {
    return quillbox::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillboxd: %s\n", e.what());
    return quillbox::kExitStartFailed;
  }
}
