#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

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
/// on the way (the last one found nothing lower), each one draw of StepDraw.
struct DescentEnd {
    std::ptrdiff_t cell;
    std::int32_t height;
    std::uint32_t steps;
};

/// For every draw of a step, row 8 * eightNeighbours + first: the offsets of the neighbours the step
/// examines, in the order it examines them, table entry (first + t) mod examined for t = 0, 1, ... A step
/// that examines four neighbours lists them twice. That changes nothing, since a neighbour examined again
/// cannot be strictly lower than the lowest found by then, and it gives every step the same eight reads:
/// a count of reads decided by a coin toss would cost a mispredicted branch on every other step.
using StepOrders = std::array<std::array<std::ptrdiff_t, 8>, 16>;

/// The step orders of a grid whose neighbours lie `offsets` away from a cell.
inline StepOrders stepOrdersOf(const NeighbourOffsets& offsets) {
    StepOrders orders{};
    for (std::size_t eight = 0; eight < 2; ++eight) {
        const std::size_t wrap = eight ? 7 : 3;
        for (std::size_t first = 0; first < 8; ++first) {
            for (std::size_t t = 0; t < 8; ++t) {
                orders[8 * eight + first][t] = offsets[(first + t) & wrap];
            }
        }
    }
    return orders;
}

/// A source of descent steps' draws: FastRandomSources, whose draws the module's simulators must keep
/// exactly, or SplitDrawSources.
template <class Random>
concept StepRandom = requires(Random& random, double probability) {
    { random.drawStep(probability) } -> std::same_as<StepDraw>;
};

namespace detail {

template <StepRandom Random>
inline DescentEnd walkDown(const std::int32_t* counts, const StepOrders& orders, std::ptrdiff_t cell,
                           double eightNeighbourProbability, Random& random) {
    // A neighbour and its count; of two, the one examined earlier comes first.
    struct Candidate {
        std::ptrdiff_t cell;
        std::int32_t count;
    };
    // Selects rather than branches: which of two neighbours is lower is a coin toss on a settling slope.
    const auto lower = [](const Candidate& earlier, const Candidate& later) {
        const bool takeLater = later.count < earlier.count;
        return Candidate{takeLater ? later.cell : earlier.cell, takeLater ? later.count : earlier.count};
    };
    std::int32_t height = counts[cell];
    for (std::uint32_t steps = 1;; ++steps) {
        const StepDraw draw = random.drawStep(eightNeighbourProbability);
        const std::ptrdiff_t* order = orders[8 * std::size_t{draw.eightNeighbours} + draw.first].data();
        const auto at = [&](std::size_t t) {
            const std::ptrdiff_t neighbour = cell + order[t];
            return Candidate{neighbour, counts[neighbour]};
        };
        // The first examined of the lowest neighbours, found in pairs so that the walk waits on three
        // comparisons a step rather than on eight in a row; on ties the earlier one wins at every level.
        const Candidate lowest = lower(lower(lower(at(0), at(1)), lower(at(2), at(3))),
                                       lower(lower(at(4), at(5)), lower(at(6), at(7))));
        if (!(lowest.count < height)) {
            return {cell, height, steps};
        }
        cell = lowest.cell;
        height = lowest.count;
    }
}

}  // namespace detail

/// Rolls a particle from `cell` down the steepest of the neighbours each step examines until none is
/// strictly lower. Every step draws whether it examines the four edge neighbours or all eight, then the
/// table entry it examines first; among equally low neighbours the first examined wins. Changes no count.
template <StepRandom Random>
inline DescentEnd descend(const std::int32_t* counts, const StepOrders& orders, std::ptrdiff_t cell,
                          double eightNeighbourProbability, Random& random) {
    if constexpr (std::is_trivially_copyable_v<Random> && sizeof(Random) <= 64) {
        // A small generator walks as a local copy, whose state stays in registers rather than being
        // written back to its owner on every step.
        Random local = random;
        const DescentEnd end = detail::walkDown(counts, orders, cell, eightNeighbourProbability, local);
        random = local;
        return end;
    } else {
        return detail::walkDown(counts, orders, cell, eightNeighbourProbability, random);
    }
}

}  // namespace korvex
