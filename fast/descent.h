#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "fast/column_counts.h"
#include "fast/random_sources.h"

namespace korvex {

/// Count of the border cells: higher than any real column can become, so no particle rolls onto them.
inline constexpr std::int32_t borderCount = std::numeric_limits<std::int32_t>::max();

/// Offsets in ColumnCounts::data() of the neighbours (-1, 0), (0, -1), (0, +1), (+1, 0), (-1, -1),
/// (-1, +1), (+1, -1), (+1, +1): the edge neighbours first, then the diagonal ones.
using NeighbourOffsets = std::array<std::ptrdiff_t, 8>;

inline NeighbourOffsets neighbourOffsetsOf(const ColumnCounts& counts) {
    constexpr std::array<std::array<std::ptrdiff_t, 2>, 8> table{
        {{-1, 0}, {0, -1}, {0, +1}, {+1, 0}, {-1, -1}, {-1, +1}, {+1, -1}, {+1, +1}}};
    const auto stride = static_cast<std::ptrdiff_t>(counts.rows());
    NeighbourOffsets offsets{};
    for (std::size_t k = 0; k < table.size(); ++k) {
        offsets[k] = table[k][0] * stride + table[k][1];
    }
    return offsets;
}

/// Empties every real cell and gives every cell of the one-cell border borderCount.
inline void clearBordered(ColumnCounts& counts) {
    const std::size_t rows = counts.rows();
    std::fill_n(counts.data(), counts.columns() * rows, borderCount);
    for (std::size_t c = 1; c + 1 < counts.columns(); ++c) {
        std::fill_n(counts.data() + counts.indexOf(c, 1), rows - 2, 0);
    }
}

/// Index of the real cell (0 .. count - 1) that a position of `cells` cell edges falls into. Positions
/// off the grid, infinite or NaN ones included, are clamped in floating point before the conversion.
inline std::size_t nearestCell(float cells, std::uint32_t count) {
    const double rounded = static_cast<double>(cells) + 0.5;
    if (rounded >= static_cast<double>(count - 1)) {
        return count - 1;
    }
    return rounded > 0.0 ? static_cast<std::size_t>(rounded) : 0;
}

/// Where a descent stopped: the cell's position in ColumnCounts::data(), its count, and the steps examined
/// on the way (the last one found nothing lower), each of three engine outputs.
struct DescentEnd {
    std::ptrdiff_t cell;
    std::int32_t height;
    std::uint32_t steps;
};

/// Rolls a particle from `cell` down the steepest of the neighbours each step examines until none is
/// strictly lower. Every step draws whether it examines the four edge neighbours or all eight, then the
/// table entry it examines first; among equally low neighbours the first examined wins. Changes no count.
inline DescentEnd descend(const std::int32_t* counts, const NeighbourOffsets& offsets, std::ptrdiff_t cell,
                          double eightNeighbourProbability, FastRandomSources& random) {
    std::int32_t height = counts[cell];
    for (std::uint32_t steps = 1;; ++steps) {
        const std::size_t examined = random.neighbourhood(random.engine) > eightNeighbourProbability ? 4 : 8;
        const auto first = static_cast<std::size_t>(random.firstNeighbour(random.engine));
        // Both neighbourhoods have a power-of-two size, so the table entry (first + t) mod examined is a
        // mask away: a division per neighbour would cost more than reading it.
        const std::size_t wrap = examined - 1;
        std::ptrdiff_t lowest = cell;
        for (std::size_t t = 0; t < examined; ++t) {
            const std::ptrdiff_t neighbour = cell + offsets[(first + t) & wrap];
            // Whether a neighbour is lower is a coin toss on a settling slope; selects rather than branches
            // keep the walk from paying a misprediction for it.
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

}  // namespace korvex
