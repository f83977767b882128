// Placement in the fast engine against the bare descent it is built on, and the two ways of stacking a
// table of chunks against placement, all on the stacker scene of the fast-engine tests; and on the grid of
// the package's demo at the resolution of studies, the shared descent with either random source against the
// descent as it stood before.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "bench/bench_main.h"
#include "bench/frozen_descent.h"
#include "core/chunk_table.h"
#include "fast/descent.h"
#include "fast/korvex_fast.h"
#include "tests/scenes/bare_walk.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::bench {

namespace {

using Fast = KorvexFast<AveragedParameters>;
using scenes::StackerScene;

/// Every benchmark starts its walks from this seed, so that all of them place the same cubes.
constexpr std::uint32_t seed = 2024;

/// A fresh, empty pile of the scene with the random sources restarted; made while the clock is stopped.
std::unique_ptr<Fast> freshPile(benchmark::State& state, const KorvexConfiguration& configuration) {
    state.PauseTiming();
    auto simulator = std::make_unique<Fast>(configuration);
    seedFastRandomSources(seed);
    state.ResumeTiming();
    return simulator;
}

/// Releases a pile while the clock is stopped: only stacking is timed.
void release(benchmark::State& state, std::unique_ptr<Fast>& simulator) {
    state.PauseTiming();
    simulator.reset();
    state.ResumeTiming();
}

void countParticles(benchmark::State& state, const StackerScene& scene) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(scene.particles));
}

void bareWalk(benchmark::State& state, const StackerScene& scene) {
    const auto drops = scenes::dropsOf(scene);
    const Fast shape(scenes::configurationOf(scene));
    std::uint64_t steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ColumnCounts counts(shape.columnCounts().columns(), shape.columnCounts().rows());
        clearBordered(counts);
        seedFastRandomSources(seed);
        state.ResumeTiming();
        steps += scenes::bareWalk(counts, drops, shape.cellSize(), scene.eightNeighbourProbability);
        benchmark::DoNotOptimize(counts.data());
    }
    countParticles(state, scene);
    state.counters["steps_per_particle"] =
        static_cast<double>(steps) / static_cast<double>(state.iterations() * scene.particles);
}

void placement(benchmark::State& state, const StackerScene& scene) {
    const auto configuration = scenes::configurationOf(scene);
    const auto drops = scenes::dropsOf(scene);
    const std::array<double, 1> quality{40.0};
    const AveragedParameters particle(Fast(configuration).particleVolume(), quality);
    for (auto _ : state) {
        auto simulator = freshPile(state, configuration);
        for (const auto& drop : drops) {
            simulator->dropParticle(drop.x, drop.z, particle);
        }
        release(state, simulator);
    }
    countParticles(state, scene);
}

/// The table's rows straight through the stack call, without reading or checking a table.
void stackPath(benchmark::State& state, const StackerScene& scene) {
    const auto configuration = scenes::configurationOf(scene);
    const auto table = scenes::chunkRowsOf(scene);
    for (auto _ : state) {
        auto simulator = freshPile(state, configuration);
        scenes::stackRowByRow(*simulator, table);
        release(state, simulator);
    }
    countParticles(state, scene);
}

/// What the Python module's stack_list does with the table once it has it: resolve, check, stack.
void stackTable(benchmark::State& state, const StackerScene& scene) {
    const auto configuration = scenes::configurationOf(scene);
    const auto table = scenes::chunkRowsOf(scene);
    const TableView view = table.view();
    for (auto _ : state) {
        auto simulator = freshPile(state, configuration);
        const auto columns = resolveChunkColumns(table.names, view.columns);
        validateChunks(view, columns);
        stackChunks(*simulator, view, columns);
        release(state, simulator);
    }
    countParticles(state, scene);
}

/// Walks every drop of the scene from a fresh grid with `descendFrom` (see walkDrops), whose random sources
/// `restart` sets back to the common seed while the clock is stopped.
template <class Restart, class Descend>
void walkScene(benchmark::State& state, const StackerScene& scene, Restart&& restart, Descend&& descendFrom) {
    const auto drops = scenes::dropsOf(scene);
    const Fast shape(scenes::configurationOf(scene));
    std::uint64_t steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ColumnCounts counts(shape.columnCounts().columns(), shape.columnCounts().rows());
        clearBordered(counts);
        restart();
        state.ResumeTiming();
        steps += scenes::walkDrops(counts, drops, shape.cellSize(), descendFrom);
        benchmark::DoNotOptimize(counts.data());
    }
    countParticles(state, scene);
    state.counters["steps_per_particle"] =
        static_cast<double>(steps) / static_cast<double>(state.iterations() * scene.particles);
}

/// The descent as it stood before sharing, with the module's draws: the baseline of the demo grid.
void frozenWalk(benchmark::State& state, const StackerScene& scene) {
    NeighbourOffsets offsets{};
    {
        const Fast shape(scenes::configurationOf(scene));
        offsets = neighbourOffsetsOf(shape.columnCounts());
    }
    const double probability = scene.eightNeighbourProbability;
    walkScene(
        state, scene, [] { seedFastRandomSources(seed); },
        [&](const std::int32_t* cells, std::ptrdiff_t start) {
            return frozenDescend(cells, offsets, start, probability, fastRandomSources());
        });
}

/// The shared descent with the draws of `random`, restarted by `restart`.
template <class Random, class Restart>
void sharedWalk(benchmark::State& state, const StackerScene& scene, Random& random, Restart&& restart) {
    StepOrders orders{};
    {
        const Fast shape(scenes::configurationOf(scene));
        orders = stepOrdersOf(neighbourOffsetsOf(shape.columnCounts()));
    }
    const double probability = scene.eightNeighbourProbability;
    walkScene(state, scene, restart, [&](const std::int32_t* cells, std::ptrdiff_t start) {
        return descend(cells, orders, start, probability, random);
    });
}

void mersenneTwisterWalk(benchmark::State& state, const StackerScene& scene) {
    sharedWalk(state, scene, fastRandomSources(), [] { seedFastRandomSources(seed); });
}

void splitDrawWalk(benchmark::State& state, const StackerScene& scene) {
    SplitDrawSources random(seed);
    sharedWalk(state, scene, random, [&] { random = SplitDrawSources(seed); });
}

/// Placement as the package's simulators place: a fast engine with split draws of its own.
void splitDrawPlacement(benchmark::State& state, const StackerScene& scene) {
    const auto configuration = scenes::configurationOf(scene);
    const auto drops = scenes::dropsOf(scene);
    const std::array<double, 1> quality{40.0};
    const AveragedParameters particle(Fast(configuration).particleVolume(), quality);
    for (auto _ : state) {
        state.PauseTiming();
        SplitDrawSources random(seed);
        auto simulator = std::make_unique<Fast>(configuration, random);
        state.ResumeTiming();
        for (const auto& drop : drops) {
            simulator->dropParticle(drop.x, drop.z, particle);
        }
        release(state, simulator);
    }
    countParticles(state, scene);
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const StackerScene scene = smoke ? scenes::tinyBed : scenes::fullBed;
    benchmark::AddCustomContext(
        "fast_scene", std::to_string(scene.columns) + " x " + std::to_string(scene.rows) + " cells, " +
                          std::to_string(scene.particles) + " particles in " + std::to_string(scene.passes) +
                          " passes, eightNeighbourProbability " +
                          std::to_string(scene.eightNeighbourProbability));
    for (const auto& [name, run] :
         {std::pair{"fast/bare_walk", &bareWalk}, std::pair{"fast/placement", &placement},
          std::pair{"fast/stack_path", &stackPath}, std::pair{"fast/stack_table", &stackTable}}) {
        benchmark::RegisterBenchmark(name, run, scene)->Unit(benchmark::kMillisecond);
    }
    compare("fast/placement", "fast/bare_walk");
    compare("fast/stack_path", "fast/placement");
    compare("fast/stack_table", "fast/stack_path");

    const StackerScene demo = smoke ? scenes::tinyDemoBed : scenes::demoBed;
    benchmark::AddCustomContext(
        "fast_demo_scene", std::to_string(demo.columns) + " m x " + std::to_string(demo.rows) + " m bed, " +
                               std::to_string(demo.particlesPerCubicMeter) + " particles per m3, " +
                               std::to_string(demo.particles) + " particles in " +
                               std::to_string(demo.passes) + " passes, eightNeighbourProbability " +
                               std::to_string(demo.eightNeighbourProbability));
    for (const auto& [name, run] : {std::pair{"fast/demo/frozen_walk", &frozenWalk},
                                    std::pair{"fast/demo/walk_mt19937", &mersenneTwisterWalk},
                                    std::pair{"fast/demo/walk_split_draws", &splitDrawWalk},
                                    std::pair{"fast/demo/placement_split_draws", &splitDrawPlacement}}) {
        benchmark::RegisterBenchmark(name, run, demo)->Unit(benchmark::kMillisecond);
    }
    compare("fast/demo/placement_split_draws", "fast/demo/frozen_walk");
    compare("fast/demo/walk_mt19937", "fast/demo/frozen_walk");
    compare("fast/demo/walk_split_draws", "fast/demo/walk_mt19937");
    compare("fast/demo/placement_split_draws", "fast/demo/walk_split_draws");
}

}  // namespace korvex::bench
