#pragma once

// What the timing drivers print at the end: the throughput of one run against another's, or the
// time one step takes against another's.

#include <benchmark/benchmark.h>

#include <initializer_list>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace quillbox {

// Keeps the throughput of every run so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      // With repetitions the median counts: it comes after the single runs.
      if (!run.aggregate_name.empty() && run.aggregate_name != "median")
        continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end())
        throughput_[run.run_name.function_name] = it->second;
      time_[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
  }
  // The throughput of the run named ours over that of plain (by function name).
  void PrintRatio(const char* what, const char* ours, const char* plain) {
    const double a = throughput_[ours];
    const double b = throughput_[plain];
    std::cout << what << " ratio: " << (b > 0 ? a / b : 0) << " (target >= 0.7)\n";
  }
  // The time a step of the run named ours takes over that of plain, which must stay at most
  // atMost.
  void PrintTimeRatio(const char* what, const char* ours, const char* plain, double atMost) {
    const double a = time_[ours];
    const double b = time_[plain];
    std::cout << what << " time ratio: " << (b > 0 ? a / b : 0) << " (target <= " << atMost
              << ")\n";
  }

 private:
  std::map<std::string, double> throughput_;
  std::map<std::string, double>
      time_;  // CPU time per iteration: other work on the machine stays out
};

// One ratio to print: the throughput of the run named ours over that of plain, or, when
// timeAtMost is given, the time of a step of ours over that of plain.
struct Ratio {
  const char* what;
  const char* ours;
  const char* plain;
  double timeAtMost = 0;
};

// A timing driver's main: runs the benchmarks asked for, then prints the ratios.
inline int RunAndPrintRatios(int argc, char** argv, std::initializer_list<Ratio> ratios) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Ratio& ratio : ratios) {
    if (ratio.timeAtMost > 0)
      reporter.PrintTimeRatio(ratio.what, ratio.ours, ratio.plain, ratio.timeAtMost);
    else
      reporter.PrintRatio(ratio.what, ratio.ours, ratio.plain);
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace quillbox
