#pragma once

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstddef>

namespace korvex::bench {

/// Bytes held on the heap right now, as malloc counts them: Bullet's allocations bypass operator new.
inline std::size_t mallocHeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

/// Reports the heap an empty simulator holds, and what its particles add to it, per particle.
inline void reportParticleHeap(benchmark::State& state, std::size_t empty, std::size_t held,
                               std::size_t particles) {
    state.counters["empty_heap_bytes"] = static_cast<double>(empty);
    state.counters["heap_bytes_per_particle"] =
        (static_cast<double>(held) - static_cast<double>(empty)) / static_cast<double>(particles);
}

}  // namespace korvex::bench
