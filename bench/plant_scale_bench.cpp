// The detailed engine stacking a real bed: a Chevron of 100 layers, 100,000 boxes of 1 m on a 300 m x 50 m
// bed, fed through the pile facade as the Python faces feed it, table by table in batches of 10,000, with
// the boom following the pile. Reports the time of every batch, the total, the heap per settled particle
// and the pile's figures. One run takes about ten minutes; bench/run.py runs it once.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "bench/malloc_heap.h"
#include "core/chunk_table.h"
#include "detailed/korvex_detailed.h"
#include "pile/particle_engines.h"
#include "pile/pile.h"
#include "tests/detailed/buried_by_walk.h"
#include "tests/engine_access.h"
#include "tests/scenes/pile_figures.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::bench {

namespace {

using scenes::StackerScene;

struct PlantScene {
    StackerScene bed;
    std::size_t batch;  ///< rows of one stack call
    float fallHeight;   ///< metres above the pile's surface
};

/// Seconds of CPU time this thread has used.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

PileSettings settingsOf(const PlantScene& scene, std::uint64_t seed) {
    PileSettings settings;
    settings.configuration = scenes::configurationOf(scene.bed);
    settings.configuration.particleVolumeFactor = 1.0f;
    settings.configuration.dropHeight = 20.0f;
    settings.configuration.fallHeight = scene.fallHeight;
    settings.engine = Engine::detailed;
    settings.seed = seed;
    return settings;
}

/// Variance of the volume-weighted mean quality of the slices that took material, over the variance of the
/// stacked rows' quality: what the bed leaves of the input's variance.
double varianceReductionOf(const std::vector<ReclaimedSlice>& slices, const scenes::ChunkRows& rows) {
    const auto variance = [](const std::vector<double>& values) {
        double mean = 0.0;
        for (const double value : values) {
            mean += value;
        }
        mean /= static_cast<double>(values.size());
        double squares = 0.0;
        for (const double value : values) {
            squares += (value - mean) * (value - mean);
        }
        return squares / static_cast<double>(values.size());
    };
    std::vector<double> stacked;
    const std::size_t width = rows.names.size();
    for (std::size_t row = 0; row < rows.rows; ++row) {
        stacked.push_back(rows.cells[row * width + 4]);
    }
    std::vector<double> reclaimed;
    for (const ReclaimedSlice& slice : slices) {
        if (slice.material.volume > AveragedParameters::zeroVolume && !slice.material.sums.empty()) {
            reclaimed.push_back(slice.material.sums[0] / slice.material.volume);
        }
    }
    return reclaimed.size() > 1 ? variance(reclaimed) / variance(stacked) : 0.0;
}

void plantChevron(benchmark::State& state, PlantScene scene) {
    const scenes::ChunkRows rows = scenes::chunkRowsOf(scene.bed);
    const TableView table = rows.view();
    const std::size_t batches = (rows.rows + scene.batch - 1) / scene.batch;
    std::vector<double> batchSeconds(batches);
    std::vector<double> batchWallSeconds(batches);
    double finishSeconds = 0.0;
    std::size_t emptyHeap = 0;
    std::size_t heldHeap = 0;
    std::uint64_t steps = 0;
    scenes::HeightMapFigures figures;
    double vrr = 0.0;
    for (auto _ : state) {
        const std::size_t heapBefore = mallocHeapInUse();
        auto pile = std::make_unique<Pile>(settingsOf(scene, 2024u));
        emptyHeap = mallocHeapInUse() - heapBefore;
        for (std::size_t k = 0; k < batches; ++k) {
            const std::size_t first = k * scene.batch;
            TableView part = table;
            part.data += static_cast<std::ptrdiff_t>(first) * table.rowStride;
            part.rows = std::min(scene.batch, rows.rows - first);
            const double cpu = threadSeconds();
            const auto wall = std::chrono::steady_clock::now();
            pile->stackTable(part, rows.names);
            batchSeconds[k] = threadSeconds() - cpu;
            batchWallSeconds[k] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
            // A run takes minutes: show how it goes.
            std::fprintf(stderr, "batch %zu: %.1f s CPU, %.1f s wall\n", k + 1, batchSeconds[k],
                         batchWallSeconds[k]);
        }
        const double cpu = threadSeconds();
        auto& simulator = testing::EngineAccess::engineOf<KorvexDetailed<AveragedParameters>>(*pile);
        simulator.finishStacking();
        finishSeconds = threadSeconds() - cpu;
        heldHeap = mallocHeapInUse() - heapBefore;
        steps = simulator.simulationTime() / 30;
        pile->heights();
        figures = scenes::heightMapFiguresOf(simulator, pile->cellSize());
        state.PauseTiming();
        vrr = varianceReductionOf(pile->reclaim(), rows);
        pile.reset();
        state.ResumeTiming();
    }
    double total = finishSeconds;
    for (std::size_t k = 0; k < batches; ++k) {
        total += batchSeconds[k];
        state.counters["batch_" + std::to_string(k + 1) + "_s"] = batchSeconds[k];
        state.counters["batch_" + std::to_string(k + 1) + "_wall_s"] = batchWallSeconds[k];
    }
    // Batches after the first 40 % of the pile against the second: flat if the cost of a drop does not grow
    // with the pile.
    if (batches >= 5) {
        const double latest = *std::max_element(batchSeconds.begin() + 4, batchSeconds.end());
        state.counters["late_batch_to_second"] = latest / batchSeconds[1];
    }
    state.counters["finish_s"] = finishSeconds;
    state.counters["total_s"] = total;
    state.counters["particles"] = static_cast<double>(rows.rows);
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["seconds_per_step"] = total / static_cast<double>(std::max<std::uint64_t>(steps, 1));
    reportParticleHeap(state, emptyHeap, heldHeap, rows.rows);
    state.counters["footprint"] = figures.footprint;
    state.counters["mean_height"] = figures.meanHeight;
    state.counters["max_height"] = figures.maxHeight;
    state.counters["slope"] = figures.slope;
    state.counters["vrr"] = vrr;
}

enum class BuriedSearch { cells, walk };

struct SeedsScene {
    PlantScene plant;
    std::uint32_t seeds;
};

/// Stacks the same Chevron, smaller, from several seeds and reports each pile figure's mean and standard
/// deviation over them, so that one way of finding buried particles can be set against the spread of runs of
/// the other.
void chevronSeeds(benchmark::State& state, SeedsScene scene, BuriedSearch search) {
    const scenes::ChunkRows rows = scenes::chunkRowsOf(scene.plant.bed);
    std::vector<std::array<double, 5>> runs;
    std::uint64_t steps = 0;
    double seconds = 0.0;
    for (auto _ : state) {
        runs.clear();
        for (std::uint32_t seed = 1; seed <= scene.seeds; ++seed) {
            Pile pile(settingsOf(scene.plant, seed));
            auto& simulator = testing::EngineAccess::engineOf<KorvexDetailed<AveragedParameters>>(pile);
            if (search == BuriedSearch::walk) {
                testing::BuriedByWalk::use(simulator);
            }
            const double cpu = threadSeconds();
            pile.stackTable(rows.view(), rows.names);
            simulator.finishStacking();
            seconds += threadSeconds() - cpu;
            steps += simulator.simulationTime() / 30;
            pile.heights();
            const scenes::HeightMapFigures figures =
                scenes::heightMapFiguresOf(simulator, pile.cellSize());
            runs.push_back({figures.footprint, figures.meanHeight, figures.maxHeight, figures.slope,
                            varianceReductionOf(pile.reclaim(), rows)});
        }
    }
    const std::array<const char*, 5> names{"footprint", "mean_height", "max_height", "slope", "vrr"};
    for (std::size_t f = 0; f < names.size(); ++f) {
        double sum = 0.0;
        for (const auto& run : runs) {
            sum += run[f];
        }
        const double mean = sum / static_cast<double>(runs.size());
        double squares = 0.0;
        for (const auto& run : runs) {
            squares += (run[f] - mean) * (run[f] - mean);
        }
        state.counters[names[f]] = mean;
        state.counters[std::string(names[f]) + "_sd"] =
            runs.size() > 1 ? std::sqrt(squares / static_cast<double>(runs.size() - 1)) : 0.0;
    }
    state.counters["seeds"] = static_cast<double>(scene.seeds);
    state.counters["particles"] = static_cast<double>(rows.rows);
    state.counters["seconds_per_step"] = seconds / static_cast<double>(std::max<std::uint64_t>(steps, 1));
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const PlantScene plant = smoke ? PlantScene{{30, 10, 300, 3, 0.5f, 45.0f}, 60, 20.0f}
                                   : PlantScene{{300, 50, 100'000, 100, 0.5f, 45.0f}, 10'000, 20.0f};
    benchmark::AddCustomContext(
        "detailed_plant", "Chevron of " + std::to_string(plant.bed.passes) + " layers, " +
                              std::to_string(plant.bed.particles) + " boxes of 1 m on a " +
                              std::to_string(plant.bed.columns) + " m x " + std::to_string(plant.bed.rows) +
                              " m bed, stacked in batches of " + std::to_string(plant.batch) +
                              ", falling 20 m above the pile");
    benchmark::RegisterBenchmark("detailed/plant_chevron", plantChevron, plant)->Unit(benchmark::kSecond);

    const SeedsScene seeds = smoke ? SeedsScene{{{30, 10, 100, 2, 0.5f, 45.0f}, 100, 20.0f}, 2}
                                   : SeedsScene{{{60, 20, 1'500, 10, 0.5f, 45.0f}, 1'500, 20.0f}, 4};
    benchmark::AddCustomContext("detailed_seeds",
                                "Chevron of " + std::to_string(seeds.plant.bed.passes) + " layers, " +
                                    std::to_string(seeds.plant.bed.particles) + " boxes on a " +
                                    std::to_string(seeds.plant.bed.columns) + " m x " +
                                    std::to_string(seeds.plant.bed.rows) + " m bed, " +
                                    std::to_string(seeds.seeds) + " seeds per way");
    for (const auto& [name, search] : {std::pair{"detailed/chevron_seeds_cells", BuriedSearch::cells},
                                       std::pair{"detailed/chevron_seeds_walk", BuriedSearch::walk}}) {
        benchmark::RegisterBenchmark(name, chevronSeeds, seeds, search)->Unit(benchmark::kSecond);
    }
    compare("detailed/chevron_seeds_cells", "detailed/chevron_seeds_walk", "seconds_per_step");
    compareSpread("detailed/chevron_seeds_cells", "detailed/chevron_seeds_walk",
                  "footprint,mean_height,max_height,slope,vrr");
}

}  // namespace korvex::bench
