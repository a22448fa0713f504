// quillbox-judge: the proxy's judgment of saved messages or single addresses, explained line by
// line, and a MatchString proposed from samples. Exit statuses, as the manual page lists them.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/Files.h"
#include "base/SysUtils.h"
#include "judge/S25R.h"
#include "net/IdStack.h"
#include "proxy/MessageSource.h"
#include "proxy/RuleFile.h"
#include "proxy/RuleSuggestion.h"
#include "proxy/SenderReport.h"
#include "shell/IniLocation.h"
#include "shell/Quillbox_Startup.h"

namespace quillbox {
namespace {

constexpr int kExitJudged = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitBadRules = 2;

constexpr const char* kUsage =
    "usage: quillbox-judge [-r RULEFILE] [-R S25R_Rules.txt] [-A S25R_Allow.txt] [--no-dns] "
    "[--json] [--dns-port PORT] (INPUT... | --address ADDRESS... | --suggest INPUT...)";

// What the command line asks for.
struct TOptions {
  std::string RuleFile, RulesFile, AllowFile;
  bool NoDns = false, Json = false, Suggest = false;
  int DnsPort = 53;
  std::vector<std::string> Inputs, Addresses;
};

class EUsage : public Exception {
 public:
  using Exception::Exception;
};

// A failure that decides the exit status.
struct EExit : Exception {
  EExit(int status, const std::string& message) : Exception(message), Status(status) {}
  int Status;
};

TOptions ParseArguments(const std::vector<std::string>& args) {
  TOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size())
        throw EUsage(a + " needs a value");
      return args[++i];
    };
    if (a == "-r")
      options.RuleFile = value();
    else if (a == "-R")
      options.RulesFile = value();
    else if (a == "-A")
      options.AllowFile = value();
    else if (a == "--no-dns")
      options.NoDns = true;
    else if (a == "--json")
      options.Json = true;
    else if (a == "--suggest")
      options.Suggest = true;
    else if (a == "--address")
      options.Addresses.push_back(value());
    else if (a == "--dns-port")
      options.DnsPort = StrToIntDef(value(), 0);
    else if (a == "-h" || a == "--help")
      throw EUsage("");
    else if (a.size() > 1 && a[0] == '-')
      throw EUsage("unknown option " + a);
    else
      options.Inputs.push_back(a);
  }
  if (options.DnsPort < 1 || options.DnsPort > 65535)
    throw EUsage("--dns-port needs a port number");
  if (options.Inputs.empty() && options.Addresses.empty())
    throw EUsage("no input given");
  if (options.Suggest && !options.Addresses.empty())
    throw EUsage("--suggest takes messages, not addresses");
  return options;
}

std::string ReadListFile(const std::string& path, size_t maxSize) {
  try {
    if (auto content = ReadFileBounded(path, maxSize))
      return std::move(*content);
    throw EExit(kExitBadRules, path + " cannot be read: it does not exist.");
  } catch (const EFileError& e) {
    throw EExit(kExitBadRules, path + " cannot be read: " + e.Reason() + ".");
  }
}

// The rules and the shared allow list: the files named, or found where the proxy looks.
std::shared_ptr<const TJudgeLists> LoadLists(const TOptions& options,
                                             std::vector<std::string>& notes) {
  TJudgeFiles files;
  const std::string executable = ExecutablePath();
  // Installed, quillboxd stands beside this program; in the build folder, in its own folder.
  std::string daemon = PathFromFolderOf(executable.empty() ? "x" : executable, "quillboxd");
  if (const std::string built = PathFromFolderOf(daemon, "../quillboxd/quillboxd");
      !std::filesystem::exists(daemon) && std::filesystem::exists(built))
    daemon = built;
  notes = files.Load(JudgeFileFolders(
      CurrentFolderPath(), DefaultIniFileName(daemon, UserConfigFolder(), IsWritableFolder),
      executable));
  TJudgeLists lists = *files.Current();
  // The lines of a file named instead of one found say what is used in its place.
  const auto replace = [&notes](const char* found, const std::string& line) {
    std::erase_if(
        notes, [found](const std::string& note) { return note.find(found) != std::string::npos; });
    notes.push_back(line);
  };
  if (!options.RulesFile.empty()) {
    lists.Rules =
        TS25RJudgment::RulesFromText(ReadListFile(options.RulesFile, TJudgeFiles::kMaxRulesSize));
    lists.RulesPath = options.RulesFile;
    replace("S25R rules", "S25R rules: " + options.RulesFile + ", " +
                              std::to_string(lists.Rules.size()) + " rules");
  }
  if (!options.AllowFile.empty()) {
    auto allow = std::make_shared<const TAllowList>(
        std::filesystem::path(options.AllowFile).filename().string(),
        ReadListFile(options.AllowFile, TJudgeFiles::kMaxAllowSize));
    if (!allow->Problems().empty()) {
      const TAllowList::TProblem& problem = allow->Problems().front();
      throw EExit(kExitBadRules, options.AllowFile + " line " + std::to_string(problem.Line) +
                                     ": " + problem.Reason + ".");
    }
    replace("S25R allow list", "S25R allow list: " + options.AllowFile + ", " + allow->SizeText());
    lists.Allow = std::move(allow);
    lists.AllowPath = options.AllowFile;
  }
  return std::make_shared<const TJudgeLists>(std::move(lists));
}

size_t TerminalWidth() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 0;
}

void Print(const std::string& line) {
  const std::string safe = TerminalSafeLine(line);
  std::fwrite(safe.data(), 1, safe.size(), stdout);
  std::fputc('\n', stdout);
}

void Error(const std::string& text) {
  std::fprintf(stderr, "quillbox-judge: %s\n", TerminalSafeLine(text).c_str());
}

class TJudgeRun {
 public:
  TJudgeRun(const TOptions& options, TJudgeSetup setup, std::vector<std::string> notes)
      : options_(options),
        setup_(std::move(setup)),
        notes_(std::move(notes)),
        width_(TerminalWidth()) {}

  // Every message of every input, each reported; an input that fails is skipped and counts.
  int Messages() {
    // Which rules and allow list judge: a verdict means little without knowing.
    if (!options_.Json && !options_.NoDns) {
      for (const std::string& note : notes_)
        Print(note);
      Print("");
    }
    for (const std::string& address : options_.Addresses) {
      if (const auto key = TypedAddress(address))
        Take(AddressReport(*key));
      else
        Unusable("--address " + address + " is no IPv4 or IPv6 address.");
    }
    ForEachMessage(
        [this](TInputMessage message) { Take(ReportOfMessage(setup_, std::move(message))); });
    if (!options_.NoDns)
      LookUp();
    for (const TSenderReport& report : reports_)
      Show(report);
    if (!options_.Json && summary_.Messages() > 1) {
      for (const std::string& line : summary_.Lines())
        Print(line);
    }
    return failed_ ? kExitBadInput : kExitJudged;
  }

  int Suggest() {
    std::vector<TInputMessage> samples;
    ForEachMessage([&samples](TInputMessage message) { samples.push_back(std::move(message)); });
    const TSuggestion suggestion = SuggestRules(samples);
    for (const std::string& line : SuggestionText(suggestion))
      Print(line);
    return failed_ || suggestion.MatchString.empty() ? kExitBadInput : kExitJudged;
  }

 private:
  void ForEachMessage(const TTakeMessage& take) {
    for (const std::string& input : options_.Inputs) {
      try {
        ReadMessages(input, std::cin, take);
      } catch (const EInputError& e) {
        Unusable(e.Message());
      }
    }
  }

  void Unusable(const std::string& message) {
    Error(message);
    failed_ = true;
  }

  // Without lookups to wait for, a report goes out at once, so that a large mailbox is held
  // nowhere.
  void Take(TSenderReport report) {
    if (options_.NoDns || report.Address.empty()) {
      summary_.Add(report);
      if (options_.NoDns) {
        Show(report);
        return;
      }
    }
    reports_.push_back(std::move(report));
  }

  void LookUp() {
    TIdStackWindows stack;
    const std::atomic<bool> never{false};
    LookUpReports(reports_, setup_, stack, options_.DnsPort, never);
    for (const TSenderReport& report : reports_) {
      if (!report.Address.empty())
        summary_.Add(report);
    }
  }

  void Show(const TSenderReport& report) {
    if (options_.Json) {
      Print(ReportJson(report));
    } else {
      for (const std::string& line : ReportText(report, width_))
        Print(line);
      Print("");
    }
  }

  const TOptions& options_;
  const TJudgeSetup setup_;
  const std::vector<std::string> notes_;
  const size_t width_;
  std::vector<TSenderReport> reports_;
  TReportSummary summary_;
  bool failed_ = false;
};

int Run(const std::vector<std::string>& args) {
  try {
    const TOptions options = ParseArguments(args);
    std::vector<std::string> notes;
    auto lists = LoadLists(options, notes);
    TJudgeSetup setup;
    try {
      setup = LoadJudgeSetup(options.RuleFile, std::move(lists));
    } catch (const ERuleFileError& e) {
      throw EExit(kExitBadRules, (options.RuleFile.empty() ? "the S25R rules" : options.RuleFile) +
                                     ": the proxy would answer -ERR " + e.Message());
    }
    TJudgeRun run(options, std::move(setup), std::move(notes));
    return options.Suggest ? run.Suggest() : run.Messages();
  } catch (const EUsage& e) {
    if (!e.Message().empty())
      Error(e.Message());
    std::fprintf(stderr, "%s\n", kUsage);
    return e.Message().empty() ? kExitJudged : kExitBadRules;
  } catch (const EExit& e) {
    Error(e.Message());
    return e.Status;
  } catch (const Exception& e) {
    Error(e.Message());
    return kExitBadInput;
  }
}

}  // namespace
}  // namespace quillbox

int main(int argc, char** argv) {
  // Standard input is read through std::cin only.
  std::ios::sync_with_stdio(false);
  return quillbox::Run(std::vector<std::string>(argv + 1, argv + argc));
}
