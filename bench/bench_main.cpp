#include "bench/bench_main.h"

#include <benchmark/benchmark.h>

#include <cstring>

#include "tests/scenes/pile_figures.h"

namespace korvex::bench {

void compare(const std::string& subject, const std::string& baseline, const std::string& metric) {
    benchmark::AddCustomContext("ratio " + subject + " to " + baseline, metric);
}

void compareSpread(const std::string& subject, const std::string& baseline, const std::string& figures) {
    benchmark::AddCustomContext("spread " + subject + " to " + baseline, figures);
}

void reportRuns(benchmark::State& state, const std::string& figure, std::span<const double> runs) {
    const scenes::RunSpread spread = scenes::spreadOf(runs);
    state.counters[figure] = spread.mean;
    state.counters[figure + "_sd"] = spread.sd;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        state.counters[figure + "_seed" + std::to_string(k + 1)] = runs[k];
    }
}

}  // namespace korvex::bench

// Takes --smoke before Google Benchmark reads its own flags, and rejects anything else it does not know.
int main(int argc, char** argv) {
    bool smoke = false;
    int kept = 1;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--smoke") == 0) {
            smoke = true;
        } else {
            argv[kept++] = argv[k];
        }
    }
    argc = kept;
    benchmark::AddCustomContext("scene", smoke ? "smoke" : "full");
    korvex::bench::registerBenchmarks(smoke);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
