#pragma once

// The benchmarks' console output plus the wall and process CPU time of each
// run (of repetitions, the quickest), for the ratios each benchmark prints at the end. On a loaded
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
    std::map<std::string, double> counters;  // the run's user counters
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string& args = run.run_name.args;
      Times measured{run.GetAdjustedRealTime() / perSecond, run.GetAdjustedCPUTime() / perSecond, {}};
      for (const auto& [name, counter] : run.counters) measured.counters[name] = counter.value;
      // With repetitions, the quickest one: the least disturbed by the rest
      // of a busy machine.
      auto [it, first] =
          times_.try_emplace(run.run_name.function_name + (args.empty() ? "" : "/" + args), measured);
      if (!first && measured.wall < it->second.wall) it->second = measured;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // name: "BM_Name", or "BM_Name/ARG" for a benchmark run with an argument.
  // Zeros when it did not run or failed. Of repeated runs, the quickest.
  Times times(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? Times{} : it->second;
  }

 private:
  std::map<std::string, Times> times_;
};

}  // namespace corvane::bench
