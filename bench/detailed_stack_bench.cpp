// The detailed engine stacking a pile: the cost of a simulation step on a large pile against a small one,
// with settled particles rejoining the world as static objects and frozen in place, and the height map of
// piles frozen either way over several seeds. Each run takes seconds to minutes; bench/run.py runs them once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "bench/malloc_heap.h"
#include "core/averaged_parameters.h"
#include "detailed/drop_randomness.h"
#include "detailed/korvex_detailed.h"
#include "tests/detailed/freezing_in_place.h"
#include "tests/scenes/detailed_scenes.h"
#include "tests/scenes/pile_figures.h"

namespace korvex::bench {

namespace {

using Detailed = scenes::DetailedSimulator;
using scenes::HeightMapFigures;
using testing::FreezingInPlace;

enum class Freezing { rejoinAsStatic, inPlace };

struct StackedPile {
    std::unique_ptr<Detailed> simulator;
    std::uint64_t steps = 0;
    std::size_t mostBodies = 0;
    std::size_t mostPairs = 0;
    std::size_t emptyHeapBytes = 0;  ///< held by the simulator before the first drop
    std::size_t heapBytes = 0;       ///< held by the simulator with its pile settled
};

/// Stacks `particles` boxes as the stacker passes, one chunk of one particle at a time, and lets the pile
/// settle. The drop jitter starts from `seed`.
StackedPile stackPile(std::size_t particles, Freezing freezing, std::uint32_t seed) {
    detail::seedDropRandomness(seed);
    StackedPile pile;
    const std::size_t heapBefore = mallocHeapInUse();
    pile.simulator = std::make_unique<Detailed>(scenes::stackerPassBed());
    pile.emptyHeapBytes = mallocHeapInUse() - heapBefore;
    Detailed& simulator = *pile.simulator;
    if (freezing == Freezing::inPlace) {
        FreezingInPlace::use(simulator);
    }
    const auto sample = [&] {
        pile.mostBodies = std::max(
            pile.mostBodies, static_cast<std::size_t>(simulator.dynamicsWorld().getNumCollisionObjects()));
        pile.mostPairs = std::max(
            pile.mostPairs, static_cast<std::size_t>(
                                simulator.broadphase().getOverlappingPairCache()->getNumOverlappingPairs()));
    };
    scenes::stackerPass(simulator, particles, [&](std::size_t stacked) {
        if (stacked % 50 == 1) {
            sample();
        }
    });
    sample();
    simulator.finishStacking();
    pile.steps = simulator.simulationTime() / 30;
    pile.heapBytes = mallocHeapInUse() - heapBefore;
    return pile;
}

void stacking(benchmark::State& state, std::size_t particles, Freezing freezing) {
    StackedPile pile;
    std::uint64_t steps = 0;
    for (auto _ : state) {
        pile = stackPile(particles, freezing, 2024u);
        steps += pile.steps;
        state.PauseTiming();
        pile.simulator.reset();
        state.ResumeTiming();
    }
    state.counters["particles"] = static_cast<double>(particles);
    state.counters["steps"] = static_cast<double>(pile.steps);
    state.counters["seconds_per_step"] = benchmark::Counter(
        static_cast<double>(steps), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["most_bodies"] = static_cast<double>(pile.mostBodies);
    state.counters["most_pairs"] = static_cast<double>(pile.mostPairs);
    reportParticleHeap(state, pile.emptyHeapBytes, pile.heapBytes, particles);
}

struct HeightMapScene {
    std::size_t particles;
    std::uint32_t seeds;
};

/// Stacks the same pile from several seeds and reports each figure's mean and standard deviation over them,
/// so that piles frozen one way can be set against the spread of piles frozen the same way.
void heightMap(benchmark::State& state, HeightMapScene scene, Freezing freezing) {
    std::vector<HeightMapFigures> runs;
    std::uint64_t steps = 0;
    for (auto _ : state) {
        runs.clear();
        for (std::uint32_t seed = 1; seed <= scene.seeds; ++seed) {
            const StackedPile pile = stackPile(scene.particles, freezing, seed);
            runs.push_back(scenes::heightMapFiguresOf(*pile.simulator, pile.simulator->particleSize()));
            steps += pile.steps;
        }
    }
    const auto report = [&](const std::string& name, double HeightMapFigures::*figure) {
        std::vector<double> values;
        for (const HeightMapFigures& run : runs) {
            values.push_back(run.*figure);
        }
        reportRuns(state, name, values);
    };
    report("footprint", &HeightMapFigures::footprint);
    report("mean_height", &HeightMapFigures::meanHeight);
    report("max_height", &HeightMapFigures::maxHeight);
    report("slope", &HeightMapFigures::slope);
    state.counters["particles"] = static_cast<double>(scene.particles);
    state.counters["seeds"] = static_cast<double>(scene.seeds);
    state.counters["seconds_per_step"] = benchmark::Counter(
        static_cast<double>(steps), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const std::size_t smallPile = smoke ? 20 : 1'000;
    const std::size_t largePile = smoke ? 60 : 10'000;
    const HeightMapScene heightMapScene = smoke ? HeightMapScene{20, 2} : HeightMapScene{2'000, 8};
    benchmark::AddCustomContext("detailed_stacker",
                                "one pass along 40 m, 1 m boxes from 20 m: " + std::to_string(smallPile) +
                                    " and " + std::to_string(largePile) + " particles; height maps of " +
                                    std::to_string(heightMapScene.particles) + " particles from " +
                                    std::to_string(heightMapScene.seeds) + " seeds per way of freezing");

    const auto stack = [](std::size_t particles) { return "detailed/stack/" + std::to_string(particles); };
    const std::string inPlace = "detailed/stack_frozen_in_place/" + std::to_string(smallPile);
    for (const std::size_t particles : {smallPile, largePile}) {
        benchmark::RegisterBenchmark(stack(particles), stacking, particles, Freezing::rejoinAsStatic)
            ->Unit(benchmark::kSecond);
    }
    benchmark::RegisterBenchmark(inPlace, stacking, smallPile, Freezing::inPlace)->Unit(benchmark::kSecond);
    compare(stack(largePile), stack(smallPile), "seconds_per_step");
    compare(stack(smallPile), inPlace, "seconds_per_step");

    for (const auto& [name, freezing] :
         {std::pair{"detailed/height_map_static", Freezing::rejoinAsStatic},
          std::pair{"detailed/height_map_frozen_in_place", Freezing::inPlace}}) {
        benchmark::RegisterBenchmark(name, heightMap, heightMapScene, freezing)->Unit(benchmark::kSecond);
    }
    compare("detailed/height_map_static", "detailed/height_map_frozen_in_place", "seconds_per_step");
    compareSpread("detailed/height_map_static", "detailed/height_map_frozen_in_place",
                  "footprint,mean_height,max_height,slope");
}

}  // namespace korvex::bench
