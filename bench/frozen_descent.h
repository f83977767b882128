#pragma once

// The fast engine's descent as it stood before it was shared by two kinds of random source and made
// branch-free, drawing from the process-wide Mersenne Twister sources: kept unchanged as the baseline
// that speeding up the shared descent is measured against, and as the reference that its draws and
// steps must match exactly.
#include <cstddef>
#include <cstdint>

#include "fast/descent.h"
#include "fast/random_sources.h"

namespace korvex::bench {

/// Rolls a particle from `cell` down the steepest of the neighbours each step examines until none is
/// strictly lower, as the shared descend does with FastRandomSources. Changes no count.
inline DescentEnd frozenDescend(const std::int32_t* counts, const NeighbourOffsets& offsets,
                                std::ptrdiff_t cell, double eightNeighbourProbability,
                                FastRandomSources& random) {
    std::int32_t height = counts[cell];
    for (std::uint32_t steps = 1;; ++steps) {
        const std::size_t examined = random.neighbourhood(random.engine) > eightNeighbourProbability ? 4 : 8;
        const auto first = static_cast<std::size_t>(random.firstNeighbour(random.engine));
        const std::size_t wrap = examined - 1;
        std::ptrdiff_t lowest = cell;
        for (std::size_t t = 0; t < examined; ++t) {
            const std::ptrdiff_t neighbour = cell + offsets[(first + t) & wrap];
            const std::int32_t count = counts[neighbour];
            const bool lower = count < height;
            height = lower ? count : height;
            lowest = lower ? neighbour : lowest;
        }
        if (lowest == cell) {
            return {cell, height, steps};
        }
        cell = lowest;
    }
}

}  // namespace korvex::bench
