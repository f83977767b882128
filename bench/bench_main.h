#pragma once

#include <benchmark/benchmark.h>

#include <span>
#include <string>

namespace korvex::bench {

/// Every benchmark program defines this: it registers its benchmarks, on tiny scenes when `smoke` is set
/// (the run that only checks that the benchmarks still work).
void registerBenchmarks(bool smoke);

/// Declares that `subject` is reported as a ratio to `baseline`, both measured in the same run, by `metric`:
/// "cpu_time" or the name of a counter both report. The pair goes into the program's JSON context, where
/// bench/run.py finds it.
void compare(const std::string& subject, const std::string& baseline, const std::string& metric = "cpu_time");

/// Declares that `subject` and `baseline` measure the same figures over several random runs each: for every
/// figure in `figures` (comma-separated), both report its mean as a counter of that name and the standard
/// deviation of its runs as "<figure>_sd". bench/run.py sets the difference of the means against that spread.
void compareSpread(const std::string& subject, const std::string& baseline, const std::string& figures);

/// Reports one figure of several random runs, run k from seed k: its mean as the counter `figure`, the runs'
/// sample standard deviation as "<figure>_sd" (as compareSpread expects) and each run's value as
/// "<figure>_seed<k>".
void reportRuns(benchmark::State& state, const std::string& figure, std::span<const double> runs);

}  // namespace korvex::bench
