#pragma once
// The console reporter of Google Benchmark that also keeps each benchmark's time, so that a benchmark
// comparing two ways of doing one thing can print their ratio at the end of the same run.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace Kestrilon::Bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class Clock { Wall, Cpu };
  explicit RatioReporter(Clock clock = Clock::Wall) : clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      times_[run.benchmark_name()] = clock_ == Clock::Wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  // The time of `ours` divided by the time of `theirs`, by benchmark name; negative when one did not run.
  double Ratio(const std::string& ours, const std::string& theirs) const {
    const auto a = times_.find(ours);
    const auto b = times_.find(theirs);
    if (a == times_.end() || b == times_.end() || b->second <= 0) return -1;
    return a->second / b->second;
  }

 private:
  Clock clock_;
  std::map<std::string, double> times_;
};

}  // namespace Kestrilon::Bench
