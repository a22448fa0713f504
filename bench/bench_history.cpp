// Timing of the history: 100,000 rows handed to the writer until they are committed (bound: 2 s),
// and what the Messages view does before it shows the first page of a 1,000,000-row history:
// open the file, find the newest row, count the rows, read the first page (bound: 200 ms). The
// million rows are made once, in one transaction, in a temporary folder removed at the end.
#include <stdlib.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "history/HistoryReader.h"
#include "history/HistoryStore.h"
#include "history/HistoryWriter.h"

namespace {

using namespace quillbox;
using Clock = std::chrono::steady_clock;

class NoLog : public LogSink {
 public:
  void AddToMemo(const std::string&) override {}
};

THistoryRow Row(int64_t i) {
  THistoryRow r;
  r.Time = 1'800'000'000 + i;
  r.Account = "alice@pop.example.net:110";
  r.Command = "RETR";
  r.Number = i % 500 + 1;
  r.MessageId = "<" + std::to_string(i) + ".1234@mail.example.org>";
  r.Date = "Tue, 8 Dec 2026 10:00:00 +0900";
  r.From = "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?= <sender" + std::to_string(i % 977) + "@example.org>";
  r.Subject = "=?UTF-8?B?5pel5pys6Kqe44Gu5Lu25ZCN?= " + std::to_string(i);
  r.Address = "198.51.100." + std::to_string(i % 250 + 1);
  r.HostName =
      "dyn-" + std::to_string(i % 250 + 1) + ".pool" + std::to_string(i % 37) + ".example.net";
  r.LookedUpAddress = r.Address;
  r.Status = i % 7 ? "Normal" : "S25R Rule 2";
  r.Rule = i % 7 ? 0 : 2;
  r.Size = 4096;
  return r;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The process's CPU time in ms, all threads: on a busy machine the wall time says little.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

}  // namespace

int main() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-bench-XXXXXX").string();
  const std::filesystem::path folder = ::mkdtemp(pattern.data());
  NoLog log;
  {
    THistorySettings settings;
    settings.FileName = (folder / "writer.sqlite3").string();
    settings.QueueRows = 200000;
    THistoryWriter writer(settings, log);
    const auto start = Clock::now();
    const double cpu = CpuMs();
    for (int64_t i = 0; i < 100000; ++i)
      writer.Record(Row(i));
    writer.Flush();
    std::printf(
        "store 100,000 rows through the writer: %.0f ms (bound 2000 ms), CPU %.0f ms, %llu "
        "dropped\n",
        Ms(Clock::now() - start), CpuMs() - cpu,
        static_cast<unsigned long long>(writer.Counts().Dropped));
  }
  const std::string big = (folder / "million.sqlite3").string();
  {
    THistoryStore store(big, log, 1000, 0);
    std::vector<THistoryRow> rows;
    for (int64_t i = 0; i < 1000000; ++i) {
      rows.push_back(Row(i));
      if (rows.size() == 100000) {
        store.Insert(rows);
        rows.clear();
      }
    }
  }
  for (const char* status : {"", "Suspicious"}) {
    const auto start = Clock::now();
    const double cpu = CpuMs();
    THistoryReader reader(big);
    const int64_t top = reader.LastId();
    const int64_t count = reader.Count({status, "", 0}, 0, top);
    const auto page = reader.Page({status, "", 0}, 0, 200, top);
    std::printf(
        "first page of a 1,000,000-row history (%s): %.1f ms (bound 200 ms), CPU %.1f ms, %lld "
        "rows\n",
        *status ? status : "All", Ms(Clock::now() - start), CpuMs() - cpu,
        static_cast<long long>(count));
    const auto deep = Clock::now();
    reader.Page({status, "", 0}, count / 2, 200, top);
    std::printf("  a page in the middle: %.1f ms\n", Ms(Clock::now() - deep));
  }
  std::filesystem::remove_all(folder);
  return 0;
}
