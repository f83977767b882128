#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fast/column_counts.h"
#include "fast/descent.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::scenes {

/// Places a cube for every drop where `descendFrom(cells, start)` stops, starting from the engine's start
/// cell of the drop in the bordered grid `counts` (see clearBordered) of cells `cellSize` wide, but keeps
/// no material, slices or records: what placement would cost if it were nothing but the walk. Returns the
/// steps examined in all.
template <class Descend>
std::uint64_t walkDrops(ColumnCounts& counts, std::span<const Drop> drops, float cellSize,
                        Descend&& descendFrom) {
    const auto width = static_cast<std::uint32_t>(counts.columns() - 2);
    const auto depth = static_cast<std::uint32_t>(counts.rows() - 2);
    std::int32_t* const cells = counts.data();
    std::uint64_t steps = 0;
    for (const Drop& drop : drops) {
        const std::size_t c = nearestCell(drop.x / cellSize, width) + 1;
        const std::size_t r = nearestCell(drop.z / cellSize, depth) + 1;
        const DescentEnd end = descendFrom(static_cast<const std::int32_t*>(cells),
                                           static_cast<std::ptrdiff_t>(counts.indexOf(c, r)));
        cells[end.cell] = end.height + 1;
        steps += end.steps;
    }
    return steps;
}

/// walkDrops with the fast engine's descent drawing from the process-wide random sources.
std::uint64_t bareWalk(ColumnCounts& counts, std::span<const Drop> drops, float cellSize,
                       float eightNeighbourProbability);

}  // namespace korvex::scenes
