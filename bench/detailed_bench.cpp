// The detailed engine on a settled pile: reclaiming from sorted coordinates against a walk over the whole
// pile per slice, and the heap a settled particle holds.
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
#include "tests/detailed/detailed_world.h"
#include "tests/detailed/reclaim_walk.h"

namespace korvex::bench {

namespace {

using Detailed = KorvexDetailed<AveragedParameters>;

// A straight ridge of settled boxes along x, reclaimed with a 45 degree face: layer k of each metre of ridge
// spans the cells k .. ridgeWidth - 1 - k across it. The boxes are shifted by a fixed pattern of up to 0.2 m,
// so that no two share a reclaim coordinate. A simulation step follows each box, as while stacking, so that
// the world's tree of resting bodies and the buried-particle pass leave the pile as they leave a stacked one.
constexpr int ridgeWidth = 29;
constexpr int ridgeLayers = (ridgeWidth + 1) / 2;

KorvexConfiguration ridgeBed(std::size_t particles) {
    const auto perMetre = static_cast<std::size_t>(ridgeLayers * ridgeLayers);
    KorvexConfiguration configuration = testing::pileOfMetreBoxes();
    configuration.length = static_cast<float>((particles + perMetre - 1) / perMetre);
    configuration.depth = static_cast<float>(ridgeWidth);
    configuration.reclaimAngle = 45.0f;
    return configuration;
}

void settleRidge(Detailed& simulator, std::size_t particles) {
    std::size_t placed = 0;
    for (int x = 0; placed < particles; ++x) {
        for (int layer = 0; layer < ridgeLayers && placed < particles; ++layer) {
            for (int z = layer; z < ridgeWidth - layer && placed < particles; ++z, ++placed) {
                const float shift = 0.02f * static_cast<float>((placed * 7919u) % 11u) - 0.1f;
                const std::array<double, 2> values{static_cast<double>(placed % 101),
                                                   static_cast<double>(layer)};
                testing::placeSettled(simulator, static_cast<float>(x) + 0.5f + shift,
                                      static_cast<float>(layer) + 0.5f - shift, static_cast<float>(z) + 0.5f,
                                      AveragedParameters(1.0, values));
                simulator.simulateStep();
            }
        }
    }
    simulator.finishStacking();
}

std::unique_ptr<Detailed> settledRidge(std::size_t particles) {
    auto simulator = std::make_unique<Detailed>(ridgeBed(particles));
    settleRidge(*simulator, particles);
    return simulator;
}

/// Slice positions from before the lowest coordinate of the ridge to past the highest.
std::vector<float> slicePositions(const Detailed& simulator, std::size_t slices) {
    const float first = -static_cast<float>(ridgeLayers) - 1.0f;
    const float last = simulator.configuration.length + 1.0f;
    std::vector<float> positions;
    for (std::size_t k = 0; k < slices; ++k) {
        positions.push_back(first + (last - first) * static_cast<float>(k) / static_cast<float>(slices - 1));
    }
    return positions;
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
    const std::vector<float> positions = slicePositions(*simulator, scene.slices);
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
            positions = slicePositions(*simulator, scene.slices);
            expected = testing::slicesByWalkingThePile(*simulator, positions);
        }
        std::vector<AveragedParameters> slices;
        slices.reserve(positions.size());
        state.ResumeTiming();
        for (const float position : positions) {
            slices.push_back(simulator->reclaim(position));
        }
        state.PauseTiming();
        if (!simulator->reclaimingFinished() || simulator->dynamicsWorld->getNumCollisionObjects() != 1) {
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
