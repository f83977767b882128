#pragma once

#include <cstdint>
#include <span>

#include "fast/column_counts.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::scenes {

/// Places a cube for every drop by the fast engine's descent, with the engine's start cells and draws from
/// the process-wide random sources, but keeps no material, slices or records: what placement would cost
/// if it were nothing but the walk. `counts` is a bordered grid (see clearBordered) of cells `cellSize`
/// wide. Returns the steps examined in all.
std::uint64_t bareWalk(ColumnCounts& counts, std::span<const Drop> drops, float cellSize,
                       float eightNeighbourProbability);

}  // namespace korvex::scenes
