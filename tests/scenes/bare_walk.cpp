#include "tests/scenes/bare_walk.h"

#include "fast/descent.h"

namespace korvex::scenes {

std::uint64_t bareWalk(ColumnCounts& counts, std::span<const Drop> drops, float cellSize,
                       float eightNeighbourProbability) {
    const NeighbourOffsets offsets = neighbourOffsetsOf(counts);
    const auto width = static_cast<std::uint32_t>(counts.columns() - 2);
    const auto depth = static_cast<std::uint32_t>(counts.rows() - 2);
    FastRandomSources& random = fastRandomSources();
    std::int32_t* const cells = counts.data();
    std::uint64_t steps = 0;
    for (const Drop& drop : drops) {
        const std::size_t c = nearestCell(drop.x / cellSize, width) + 1;
        const std::size_t r = nearestCell(drop.z / cellSize, depth) + 1;
        const DescentEnd end = descend(cells, offsets, static_cast<std::ptrdiff_t>(counts.indexOf(c, r)),
                                       eightNeighbourProbability, random);
        cells[end.cell] = end.height + 1;
        steps += end.steps;
    }
    return steps;
}

}  // namespace korvex::scenes
