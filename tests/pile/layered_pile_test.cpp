#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/reclaim_pile.h"
#include "layered/korvex_layered.h"
#include "pile_scenes.h"

namespace korvex {
namespace {

using testing::chunkColumns;
using testing::smallPileSettings;
using testing::tableOf;

/// A layered pile on a grid of 0.1 m cells that merges its columns' segments all the while.
PileSettings fineLayeredSettings() {
    PileSettings settings = smallPileSettings(Engine::layered, std::nullopt);
    settings.layered.cell_m = 0.1;
    settings.layered.segmentsPerColumn = 8;
    return settings;
}

/// Rows of a stacker running to and fro over the bed with a quality that changes with every chunk.
std::vector<double> wanderingRows(std::uint32_t seed, int chunks) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> rows;
    for (int k = 0; k < chunks; ++k) {
        rows.insert(rows.end(), {static_cast<double>(k), 13.0 * unit(random) - 0.5, 1.0 + 6.0 * unit(random),
                                 0.2 + 4.0 * unit(random), 100.0 * unit(random) - 30.0});
    }
    return rows;
}

/// Positions, volumes and sums of the slices, for a comparison to the bit.
std::vector<double> flattened(const std::vector<ReclaimedSlice>& slices) {
    std::vector<double> numbers;
    for (const ReclaimedSlice& slice : slices) {
        numbers.push_back(slice.position);
        numbers.push_back(slice.material.volume);
        numbers.insert(numbers.end(), slice.material.sums.begin(), slice.material.sums.end());
    }
    return numbers;
}

void expectBitIdentical(const std::vector<double>& got, const std::vector<double>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(double)), 0);
}

// The whole reclaim cuts every slice from copies before the bed changes; its slices and the bed it leaves
// are those of a reclaim slice by slice, to the bit, over stacking, reclaiming and stacking again.
class WholeReclaim : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(WholeReclaim, IsTheReclaimSliceBySliceToTheBit) {
    PileSettings settings = fineLayeredSettings();
    settings.configuration.reclaimAngle = GetParam() % 2 == 0 ? 90.0f : 30.0f + 10.0f * (GetParam() % 5);
    KorvexLayered wholly(checkedGeometry(settings), settings.layered);
    KorvexLayered sliceBySlice(checkedGeometry(settings), settings.layered);
    for (int round = 0; round < 2; ++round) {
        const auto rows = wanderingRows(GetParam() * 7 + round, 60);
        const ChunkColumns roles = resolveChunkColumns(chunkColumns, chunkColumns.size());
        stackChunks(wholly, tableOf(rows), roles);
        stackChunks(sliceBySlice, tableOf(rows), roles);
        const float step = 0.37f + 0.3f * static_cast<float>(round);
        expectBitIdentical(flattened(wholly.reclaimWhole(step)), flattened(reclaimPile(sliceBySlice, step)));
        EXPECT_TRUE(wholly.reclaimingFinished());
        EXPECT_EQ(wholly.heldVolume(), sliceBySlice.heldVolume());
        EXPECT_EQ(wholly.layers().size(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WholeReclaim, ::testing::Range(1u, 7u));

}  // namespace
}  // namespace korvex
