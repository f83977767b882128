// Piles that the package's simulators stack (split draws) against piles that the module's simulators stack
// (Mersenne Twister draws), on the package's demo at the resolution of studies, from several seeds each: the
// difference of every figure's means against the spread of runs of one kind. Each run stacks the demo eight
// times each way; bench/run.py runs it once.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "tests/scenes/pile_figures.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::bench {

namespace {

using scenes::StackerScene;

struct FiguresScene {
    StackerScene scene;
    std::uint32_t seeds;
};

/// Stacks the scene from seeds 1, 2, ... with random sources of the kind given and reports every figure's
/// mean and spread over the runs, so that piles stacked with one source can be set against the spread of
/// piles stacked with the same one.
void pileFigures(benchmark::State& state, const FiguresScene& figuresScene, scenes::DescentDraws draws) {
    std::vector<scenes::PileFigures> runs;
    for (auto _ : state) {
        runs.clear();
        for (std::uint32_t run = 1; run <= figuresScene.seeds; ++run) {
            runs.push_back(scenes::stackedPileFigures(figuresScene.scene, draws, run));
        }
    }
    const auto report = [&](const std::string& name, const auto& figure) {
        std::vector<double> values;
        for (const scenes::PileFigures& run : runs) {
            values.push_back(figure(run));
        }
        reportRuns(state, name, values);
    };
    report("footprint", [](const scenes::PileFigures& run) { return run.heightMap.footprint; });
    report("mean_height", [](const scenes::PileFigures& run) { return run.heightMap.meanHeight; });
    report("max_height", [](const scenes::PileFigures& run) { return run.heightMap.maxHeight; });
    report("slope", [](const scenes::PileFigures& run) { return run.heightMap.slope; });
    report("vrr", [](const scenes::PileFigures& run) { return run.vrr; });
    state.counters["seeds"] = static_cast<double>(figuresScene.seeds);
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const FiguresScene figures{smoke ? scenes::tinyDemoBed : scenes::demoBed, smoke ? 2u : 8u};
    for (const auto& [name, draws] :
         {std::pair{"fast/demo/figures_split_draws", scenes::DescentDraws::splitDraws},
          std::pair{"fast/demo/figures_mt19937", scenes::DescentDraws::mersenneTwister}}) {
        benchmark::RegisterBenchmark(name, pileFigures, figures, draws)->Unit(benchmark::kSecond);
    }
    compareSpread("fast/demo/figures_split_draws", "fast/demo/figures_mt19937",
                  "footprint,mean_height,max_height,slope,vrr");
    benchmark::AddCustomContext("fast_figures_scene", std::string(smoke ? "tiny demo bed" : "demo bed") +
                                                          ", " + std::to_string(figures.seeds) +
                                                          " seeds each way");
}

}  // namespace korvex::bench
