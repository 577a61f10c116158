#pragma once

// The benchmarks' console output plus the mean wall and process CPU time of
// each run, for the ratios each benchmark prints at the end. On a loaded
// machine wall times drift; CPU times (all threads of the process, where the
// benchmark measures them) stay comparable.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace corvane::bench {

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double wall = 0;  // seconds per iteration
    double cpu = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string& args = run.run_name.args;
      Sum& sum = sums_[run.run_name.function_name + (args.empty() ? "" : "/" + args)];
      sum.wall += run.GetAdjustedRealTime() / perSecond;
      sum.cpu += run.GetAdjustedCPUTime() / perSecond;
      ++sum.runs;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // name: "BM_Name", or "BM_Name/ARG" for a benchmark run with an argument;
  // the mean of its repetitions. Zeros when it did not run or failed.
  Times times(const std::string& name) const {
    const auto it = sums_.find(name);
    if (it == sums_.end()) return Times{};
    return {it->second.wall / it->second.runs, it->second.cpu / it->second.runs};
  }

 private:
  struct Sum {
    double wall = 0;
    double cpu = 0;
    int runs = 0;
  };
  std::map<std::string, Sum> sums_;
};

}  // namespace corvane::bench
