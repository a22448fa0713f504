#include "shell/HistoryCommand.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "history/HistoryReader.h"
#include "shell/Quillbox_Startup.h"

namespace quillbox {
namespace {

constexpr int64_t kDaySeconds = 24 * 60 * 60;
constexpr int kDefaultStatsDays = 30;

struct TCommand {
  bool Stats = false;
  bool Json = false;
  int Days = 0;  // 0: every row (--history) or kDefaultStatsDays (--stats)
  std::string Status;
};

bool KnownStatus(const std::string& status) {
  const auto same = [&](std::string_view known) {
    return strcasecmp(status.c_str(), std::string(known).c_str()) == 0;
  };
  if (same(kSuspicious) || std::any_of(std::begin(kStatusKinds), std::end(kStatusKinds), same))
    return true;
  // "S25R Rule N", N a rule's line number.
  const std::string prefix = std::string(kAnyRule) + " ";
  if (status.size() <= prefix.size() ||
      strncasecmp(status.c_str(), prefix.c_str(), prefix.size()) != 0)
    return false;
  return status[prefix.size()] != '0' &&
         std::all_of(status.begin() + static_cast<long>(prefix.size()), status.end(),
                     [](unsigned char c) { return std::isdigit(c); });
}

// The command's options; the reason in problem when they cannot be used.
TCommand Parse(const std::vector<std::string>& arguments, std::string& problem) {
  TCommand command;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    const bool valued = a == "--days" || a == "--status";
    if (valued && i + 1 >= arguments.size()) {
      problem = a + " needs a value";
      return command;
    }
    if (a == "--stats") {
      command.Stats = true;
    } else if (a == "--json") {
      command.Json = true;
    } else if (a == "--days") {
      const std::string& v = arguments[++i];
      const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), command.Days);
      if (error != std::errc() || end != v.data() + v.size() || command.Days < 1 ||
          command.Days > 100000)
        problem = "--days takes a number of days from 1 to 100000, not " + v;
    } else if (a == "--status") {
      command.Status = arguments[++i];
      if (!KnownStatus(command.Status))
        problem =
            "--status takes Suspicious, Normal, S25R Rule, S25R Rule N, Reverse lookup "
            "failure, Forward lookup failure, Paranoid check failure or Unknown, not " +
            command.Status;
    } else if (a != "--history" && !a.starts_with("-I")) {
      problem = "unknown argument " + a;
    }
  }
  if (command.Stats && (command.Json || !command.Status.empty()))
    problem = "--stats takes only --days";
  return command;
}

std::string Cell(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return TerminalSafeLine(text);
}

std::string LocalTime(int64_t time) {
  return LocalTimeText(time, "%Y-%m-%d %H:%M:%S");
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void PrintStats(THistoryReader& reader, int64_t since, std::ostream& out) {
  struct TDay {
    std::string Day;
    int64_t Messages = 0, Suspicious = 0;
  };
  std::vector<TDay> days;
  for (const auto& d : reader.PerDay(since)) {
    if (days.empty() || days.back().Day != d.Day)
      days.push_back({d.Day});
    days.back().Messages += d.Count;
    if (d.Kind != "Normal")
      days.back().Suspicious += d.Count;
  }
  out << "day\tmessages\tsuspicious\n";
  for (const TDay& d : days)
    out << d.Day << '\t' << d.Messages << '\t' << d.Suspicious << '\n';
  out << "\nstatus\tcount\n";
  for (const auto& c : reader.PerStatus(since))
    out << Cell(c.Name) << '\t' << c.Count << '\n';
  out << "\nflagged domain\tcount\n";
  for (const auto& c : reader.TopFlaggedDomains(since))
    out << Cell(c.Name) << '\t' << c.Count << '\n';
}

}  // namespace

int HistoryDays(const std::string& iniFileName, IniStorage& storage) {
  try {
    return std::max(
        0, TIniFile(iniFileName, storage).ReadInteger("History", "Days", kDefaultHistoryDays));
  } catch (const std::exception&) {
    return kDefaultHistoryDays;
  }
}

std::string TodayLine(THistoryReader& reader, int64_t now) {
  int64_t messages = 0, suspicious = 0;
  for (const auto& d : reader.PerDay(LocalDayStart(now))) {
    messages += d.Count;
    if (d.Kind != "Normal")
      suspicious += d.Count;
  }
  return "Today: " + std::to_string(messages) + (messages == 1 ? " message, " : " messages, ") +
         std::to_string(suspicious) + " suspicious";
}

bool IsHistoryCommand(const std::vector<std::string>& arguments) {
  return std::any_of(arguments.begin(), arguments.end(),
                     [](const std::string& a) { return a == "--history" || a == "--stats"; });
}

std::string HistoryRowJson(const THistoryRow& r) {
  std::string json = "{";
  const auto text = [&](const char* name, const std::string& value) {
    json += (json.size() > 1 ? ",\"" : "\"") + std::string(name) + "\":" + JsonString(value);
  };
  const auto number = [&](const char* name, int64_t value) {
    json += ",\"" + std::string(name) + "\":" + std::to_string(value);
  };
  const auto flag = [&](const char* name, bool value) {
    json += ",\"" + std::string(name) + "\":" + (value ? "true" : "false");
  };
  text("time", LocalTime(r.Time));
  number("epoch", r.Time);
  number("id", r.Id);
  text("account", r.Account);
  text("command", r.Command);
  number("number", r.Number);
  text("uidl", r.Uidl);
  text("message_id", r.MessageId);
  text("date", r.Date);
  text("from", r.From);
  text("subject", r.Subject);
  text("address", r.Address);
  text("host_name", r.HostName);
  text("looked_up_address", r.LookedUpAddress);
  text("domain", r.Domain);
  text("status", r.Status);
  number("rule", r.Rule);
  flag("confirmed", r.Confirmed);
  text("allow_list", r.AllowList);
  number("allow_line", r.AllowLine);
  text("allow_entry", r.AllowEntry);
  text("replaced_status", r.ReplacedStatus);
  flag("cached", r.Cached);
  number("size", r.Size);
  return json + "}";
}

int RunHistoryCommand(const std::vector<std::string>& arguments, const std::string& historyFile,
                      int64_t now, std::ostream& out, std::ostream& err) {
  std::string problem;
  const TCommand command = Parse(arguments, problem);
  if (!problem.empty()) {
    err << "quillboxd: " << problem << "\n";
    return kHistoryUsage;
  }
  const int days = command.Days ? command.Days : command.Stats ? kDefaultStatsDays : 0;
  const int64_t since = days ? LocalDayStart(now) - (days - 1) * kDaySeconds : 0;
  try {
    THistoryReader reader(historyFile);
    if (command.Stats) {
      PrintStats(reader, since, out);
      return kHistoryShown;
    }
    if (!command.Json)
      out << "time\tstatus\taddress\thost name\tfrom\tsubject\n";
    reader.ForEach({command.Status, "", since}, [&](const THistoryRow& r) {
      if (command.Json)
        out << HistoryRowJson(r) << '\n';
      else
        out << LocalTime(r.Time) << '\t' << Cell(r.Status) << '\t' << Cell(r.Address) << '\t'
            << Cell(r.HostName) << '\t' << Cell(r.From) << '\t' << Cell(r.Subject) << '\n';
    });
    return kHistoryShown;
  } catch (const ESqliteError& e) {
    err << "quillboxd: the history " << historyFile << " cannot be read: " << e.Message() << "\n";
    return kHistoryUnreadable;
  }
}

}  // namespace quillbox
