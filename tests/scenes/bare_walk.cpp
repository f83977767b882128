#include "tests/scenes/bare_walk.h"

namespace korvex::scenes {

std::uint64_t bareWalk(ColumnCounts& counts, std::span<const Drop> drops, float cellSize,
                       float eightNeighbourProbability) {
    const StepOrders orders = stepOrdersOf(neighbourOffsetsOf(counts));
    FastRandomSources& random = fastRandomSources();
    const double probability = eightNeighbourProbability;
    return walkDrops(counts, drops, cellSize, [&](const std::int32_t* cells, std::ptrdiff_t start) {
        return descend(cells, orders, start, probability, random);
    });
}

}  // namespace korvex::scenes
