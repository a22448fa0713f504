#include "history/HistoryReader.h"

#include <ctime>
#include <variant>

#include "history/HistoryStore.h"

namespace quillbox {
namespace {

using TValue = std::variant<int64_t, std::string>;

std::string LikePattern(const std::string& text) {
  std::string pattern = "%";
  for (const char c : text) {
    if (c == '%' || c == '_' || c == '\\')
      pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

// " WHERE ..." for filter and the Id bounds, its values added to values.
std::string Where(const THistoryFilter& filter, int64_t afterId, int64_t upToId,
                  std::vector<TValue>& values) {
  std::vector<std::string> terms;
  const auto add = [&](std::string term, auto... bound) {
    terms.push_back(std::move(term));
    (values.emplace_back(bound), ...);
  };
  if (filter.Since > 0)
    add("time >= ?", filter.Since);
  if (afterId > 0)
    add("id > ?", afterId);
  if (upToId > 0)
    add("id <= ?", upToId);
  if (sqlite3_stricmp(filter.Status.c_str(), std::string(kSuspicious).c_str()) == 0)
    add("status <> 'Normal'");
  else if (sqlite3_stricmp(filter.Status.c_str(), std::string(kAnyRule).c_str()) == 0)
    add("substr(status, 1, 10) = 'S25R Rule '");
  else if (!filter.Status.empty())
    add("status = ? COLLATE NOCASE", filter.Status);
  if (!filter.Search.empty()) {
    const std::string like = LikePattern(filter.Search);
    add("(sender LIKE ? ESCAPE '\\' OR subject LIKE ? ESCAPE '\\' OR host_name LIKE ? "
        "ESCAPE '\\')",
        like, like, like);
  }
  std::string where;
  for (const std::string& term : terms)
    where += (where.empty() ? " WHERE " : " AND ") + term;
  return where;
}

// sql prepared with values bound to its "?", in order.
TStatement Bound(TSqlite& db, const std::string& sql, const std::vector<TValue>& values) {
  TStatement statement = db.Prepare(sql);
  int index = 1;
  for (const TValue& value : values)
    std::visit([&](const auto& v) { statement.Bind(index++, v); }, value);
  return statement;
}

std::vector<THistoryReader::TCount> Counts(TStatement statement) {
  std::vector<THistoryReader::TCount> counts;
  while (statement.Step())
    counts.push_back({statement.Text(0), statement.Int(1)});
  return counts;
}

}  // namespace

THistoryReader::THistoryReader(const std::string& fileName) : db_(fileName, SQLITE_OPEN_READONLY) {
  // A reader waits a little for a writer that is starting the WAL anew.
  sqlite3_busy_timeout(db_.Handle(), 1000);
  db_.Exec("SELECT 1 FROM verdicts LIMIT 0");
}

int64_t THistoryReader::Count(const THistoryFilter& filter, int64_t afterId, int64_t upToId) {
  std::vector<TValue> values;
  // Without a search every term is in an index, whose entries hold the Id too: counting scans
  // the index, a tenth of the table, instead of the table.
  const char* index = !filter.Search.empty()  ? ""
                      : filter.Status.empty() ? " INDEXED BY verdicts_time"
                                              : " INDEXED BY verdicts_status";
  TStatement s = Bound(
      db_,
      std::string("SELECT count(*) FROM verdicts") + index + Where(filter, afterId, upToId, values),
      values);
  return s.Step() ? s.Int(0) : 0;
}

std::vector<THistoryRow> THistoryReader::Page(const THistoryFilter& filter, int64_t offset,
                                              int64_t limit, int64_t upToId, int64_t beforeId) {
  std::vector<TValue> values;
  int64_t upTo = upToId;
  if (beforeId > 0 && (upTo == 0 || beforeId - 1 < upTo))
    upTo = beforeId - 1;
  std::string sql = std::string("SELECT id, ") + kHistoryColumns + " FROM verdicts" +
                    Where(filter, 0, upTo, values) + " ORDER BY id DESC LIMIT ? OFFSET ?";
  values.emplace_back(limit);
  values.emplace_back(offset);
  TStatement s = Bound(db_, sql, values);
  std::vector<THistoryRow> rows;
  while (s.Step())
    rows.push_back(RowFromStatement(s));
  return rows;
}

void THistoryReader::ForEach(const THistoryFilter& filter,
                             const std::function<void(const THistoryRow&)>& each) {
  std::vector<TValue> values;
  TStatement s = Bound(db_,
                       std::string("SELECT id, ") + kHistoryColumns + " FROM verdicts" +
                           Where(filter, 0, 0, values) + " ORDER BY id",
                       values);
  while (s.Step())
    each(RowFromStatement(s));
}

std::optional<THistoryRow> THistoryReader::Row(int64_t id) {
  TStatement s =
      db_.Prepare(std::string("SELECT id, ") + kHistoryColumns + " FROM verdicts WHERE id = ?");
  s.Bind(1, id);
  if (!s.Step())
    return std::nullopt;
  return RowFromStatement(s);
}

int64_t THistoryReader::LastId() {
  TStatement s = db_.Prepare("SELECT max(id) FROM verdicts");
  return s.Step() ? s.Int(0) : 0;
}

std::vector<THistoryReader::TDayCount> THistoryReader::PerDay(int64_t since) {
  TStatement s = db_.Prepare(
      "SELECT date(time, 'unixepoch', 'localtime') AS day, CASE WHEN rule > 0 THEN 'S25R Rule' "
      "ELSE status END AS kind, count(*) FROM verdicts WHERE time >= ? GROUP BY day, kind "
      "ORDER BY day, kind");
  s.Bind(1, since);
  std::vector<TDayCount> days;
  while (s.Step())
    days.push_back({s.Text(0), s.Text(1), s.Int(2)});
  return days;
}

std::vector<THistoryReader::TCount> THistoryReader::PerStatus(int64_t since) {
  TStatement s = db_.Prepare(
      "SELECT status, count(*) FROM verdicts WHERE time >= ? GROUP BY status "
      "ORDER BY count(*) DESC, status");
  s.Bind(1, since);
  return Counts(std::move(s));
}

std::vector<THistoryReader::TCount> THistoryReader::TopFlaggedDomains(int64_t since, int limit) {
  TStatement s = db_.Prepare(
      "SELECT domain, count(*) FROM verdicts WHERE time >= ? AND status <> 'Normal' AND "
      "domain <> '' GROUP BY domain ORDER BY count(*) DESC, domain LIMIT ?");
  s.Bind(1, since).Bind(2, int64_t{limit});
  return Counts(std::move(s));
}

int64_t LocalDayStart(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  std::tm local{};
  localtime_r(&t, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

}  // namespace quillbox
