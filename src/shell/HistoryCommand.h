#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "base/IniFiles.h"
#include "history/HistoryRow.h"

namespace quillbox {

// [History] Days of the program INI file: how many days of history are kept, 90 when the key is
// missing; 0 (no history written) for 0 or less. Absorbs every error: 90 then.
inline constexpr int kDefaultHistoryDays = 90;
int HistoryDays(const std::string& iniFileName, IniStorage& storage = DiskIniStorage());

// Whether the arguments ask quillboxd for the history (--history) or its statistics (--stats)
// instead of the service.
bool IsHistoryCommand(const std::vector<std::string>& arguments);

// Exit statuses of the history commands, as the README lists them.
inline constexpr int kHistoryShown = 0;
inline constexpr int kHistoryUnreadable = 1;
inline constexpr int kHistoryUsage = 2;

// quillboxd --history [--days N] [--status TEXT] [--json]: the rows of the history file, the
// oldest first, as a table with a heading (fields separated by tabs, blanks in place of the tabs
// and line breaks of a value) or as JSON Lines with every field; --days keeps the last N days,
// --status one status (THistoryFilter::Status). quillboxd --stats [--days N] (30 by default):
// per day the messages and the suspicious ones, then the count of each status, then the sender
// domains flagged most often, each part a table with a heading and an empty line after it.
// Only reads the file. Errors go to err; the result is one of the statuses above.
int RunHistoryCommand(const std::vector<std::string>& arguments, const std::string& historyFile,
                      int64_t now, std::ostream& out, std::ostream& err);

// "Today: 42 messages, 5 suspicious": the rows of the local day of now. Raises ESqliteError.
class THistoryReader;
std::string TodayLine(THistoryReader& reader, int64_t now);

// One history row as a JSON object on one line.
std::string HistoryRowJson(const THistoryRow& row);

}  // namespace quillbox
