// Heap held by a fast pile before and after a million particles are stacked onto it: the engine keeps
// counts and slices, not particles, so the pile should not grow with what is stacked.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "bench/bench_main.h"
#include "bench/heap_counter.h"
#include "core/chunk_table.h"
#include "fast/korvex_fast.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::bench {

namespace {

using Fast = KorvexFast<AveragedParameters>;
using scenes::StackerScene;

/// Reports the heap taken at the peak and still held at the end by what `build` makes, beyond what was
/// held before it (the scene's table among it).
template <class Build>
void heapOf(benchmark::State& state, const StackerScene& scene, Build build) {
    const auto table = scenes::chunkRowsOf(scene);
    std::size_t peak = 0;
    std::size_t held = 0;
    for (auto _ : state) {
        const std::size_t before = heap::live();
        heap::resetPeak();
        const auto pile = build(table);
        peak = heap::peak() - before;
        held = heap::live() - before;
        benchmark::DoNotOptimize(pile.get());
    }
    state.counters["peak_heap_bytes"] = static_cast<double>(peak);
    state.counters["held_heap_bytes"] = static_cast<double>(held);
}

void emptyPile(benchmark::State& state, const StackerScene& scene) {
    heapOf(state, scene,
           [&](const scenes::ChunkRows&) { return std::make_unique<Fast>(scenes::configurationOf(scene)); });
}

void stackedPile(benchmark::State& state, const StackerScene& scene) {
    heapOf(state, scene, [&](const scenes::ChunkRows& table) {
        auto simulator = std::make_unique<Fast>(scenes::configurationOf(scene));
        const TableView view = table.view();
        const auto columns = resolveChunkColumns(table.names, view.columns);
        validateChunks(view, columns);
        stackChunks(*simulator, view, columns);
        return simulator;
    });
    state.counters["particles"] = static_cast<double>(scene.particles);
}

}  // namespace

void registerBenchmarks(bool smoke) {
    const StackerScene scene = smoke ? scenes::tinyBed : scenes::fullBed;
    benchmark::RegisterBenchmark("fast/empty_pile_heap", emptyPile, scene);
    benchmark::RegisterBenchmark("fast/stacked_pile_heap", stackedPile, scene)->Unit(benchmark::kMillisecond);
    compare("fast/stacked_pile_heap", "fast/empty_pile_heap", "peak_heap_bytes");
}

}  // namespace korvex::bench
