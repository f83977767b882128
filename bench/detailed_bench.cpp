// The detailed engine on a settled pile: reclaiming from sorted coordinates against a walk over the whole
// pile per slice and against destroying the pile whole, and the heap a settled particle holds.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/malloc_heap.h"
#include "core/averaged_parameters.h"
#include "detailed/korvex_detailed.h"
#include "tests/detailed/reclaim_walk.h"
#include "tests/scenes/detailed_scenes.h"

namespace korvex::bench {

namespace {

using Detailed = scenes::DetailedSimulator;

using scenes::ridgeBed;
using scenes::settleRidge;

std::unique_ptr<Detailed> settledRidge(std::size_t particles) {
    auto simulator = std::make_unique<Detailed>(ridgeBed(particles));
    settleRidge(*simulator, particles);
    return simulator;
}

struct ReclaimScene {
    std::size_t particles;
    std::size_t slices;
};

void countSlices(benchmark::State& state, const ReclaimScene& scene) {
    state.counters["particles"] = static_cast<double>(scene.particles);
    state.counters["slices"] = static_cast<double>(scene.slices);
}

void reclaimByWalking(benchmark::State& state, ReclaimScene scene) {
    const auto simulator = settledRidge(scene.particles);
    const std::vector<float> positions = scenes::ridgeSlicePositions(*simulator, scene.slices);
    for (auto _ : state) {
        benchmark::DoNotOptimize(testing::slicesByWalkingThePile(*simulator, positions).data());
    }
    countSlices(state, scene);
}

void reclaimFromSortedCoordinates(benchmark::State& state, ReclaimScene scene) {
    std::vector<float> positions;
    std::vector<AveragedParameters> expected;
    for (auto _ : state) {
        state.PauseTiming();
        auto simulator = settledRidge(scene.particles);
        if (expected.empty()) {
            positions = scenes::ridgeSlicePositions(*simulator, scene.slices);
            expected = testing::slicesByWalkingThePile(*simulator, positions);
        }
        std::vector<AveragedParameters> slices;
        slices.reserve(positions.size());
        state.ResumeTiming();
        for (const float position : positions) {
            slices.push_back(simulator->reclaim(position));
        }
        state.PauseTiming();
        if (!simulator->reclaimingFinished() || simulator->dynamicsWorld().getNumCollisionObjects() != 1) {
            state.SkipWithError("the slices left part of the pile behind");
            break;
        }
        for (std::size_t k = 0; k < slices.size(); ++k) {
            if (slices[k].volume != expected[k].volume || slices[k].sums != expected[k].sums) {
                state.SkipWithError("a slice differs from the walk over the whole pile");
                break;
            }
        }
        simulator.reset();
        state.ResumeTiming();
    }
    countSlices(state, scene);
}

/// Destroying the settled ridge whole: taking every particle off the pile and out of the physics world,
/// which any way of reclaiming it pays.
void destroySettled(benchmark::State& state, std::size_t particles) {
    for (auto _ : state) {
        state.PauseTiming();
        auto simulator = settledRidge(particles);
        state.ResumeTiming();
        simulator.reset();
    }
    state.counters["particles"] = static_cast<double>(particles);
}

/// The heap a ridge of settled boxes holds, the buried ones among them out of the physics world.
void settledHeap(benchmark::State& state, std::size_t particles) {
    std::size_t empty = 0;
    std::size_t held = 0;
    for (auto _ : state) {
        const std::size_t before = mallocHeapInUse();
        auto simulator = std::make_unique<Detailed>(ridgeBed(particles));
        empty = mallocHeapInUse() - before;
        settleRidge(*simulator, particles);
        held = mallocHeapInUse() - before;
        state.PauseTiming();
        simulator.reset();
        state.ResumeTiming();
    }
    state.counters["particles"] = static_cast<double>(particles);
    reportParticleHeap(state, empty, held, particles);
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const ReclaimScene scene = smoke ? ReclaimScene{500, 50} : ReclaimScene{20'000, 1'000};
    benchmark::AddCustomContext("detailed_ridge", "ridge of " + std::to_string(scene.particles) +
                                                      " settled 1 m boxes, reclaimed in " +
                                                      std::to_string(scene.slices) + " slices");
    benchmark::RegisterBenchmark("detailed/reclaim_walk", reclaimByWalking, scene)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("detailed/reclaim_sorted", reclaimFromSortedCoordinates, scene)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("detailed/destroy_settled", destroySettled, scene.particles)
        ->Unit(benchmark::kMillisecond);
    compare("detailed/reclaim_sorted", "detailed/reclaim_walk");
    compare("detailed/reclaim_sorted", "detailed/destroy_settled");
    benchmark::RegisterBenchmark("detailed/settled_heap", settledHeap, scene.particles)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace korvex::bench
