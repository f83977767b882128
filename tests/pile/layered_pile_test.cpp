#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/reclaim_pile.h"
#include "layered/korvex_layered.h"
#include "pile/pile.h"
#include "pile_scenes.h"

namespace korvex {
namespace {

using testing::chunkColumns;
using testing::smallPileSettings;
using testing::stackerPass;
using testing::tableOf;

/// A layered pile on a grid of 0.1 m cells, so that a reclaim polls for interrupts many times.
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

/// Volume and quality sum of what the pile's layers hold.
std::pair<double, double> heldBy(const Pile& pile) {
    const LayerTable layers = pile.layers();
    double volume = 0.0;
    double sum = 0.0;
    for (std::size_t s = 0; s < layers.size(); ++s) {
        volume += layers.volume_m3[s];
        sum += layers.volume_m3[s] * layers.values[s];
    }
    return {volume, sum};
}

std::pair<double, double> takenBy(const std::vector<ReclaimedSlice>& slices) {
    double volume = 0.0;
    double sum = 0.0;
    for (const ReclaimedSlice& slice : slices) {
        volume += slice.material.volume;
        sum += slice.material.sums.empty() ? 0.0 : slice.material.sums[0];
    }
    return {volume, sum};
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

/// An interrupt check that throws on its `when`-th call.
struct InterruptAt {
    int when;
    int calls = 0;
    void operator()() {
        if (++calls == when) {
            throw std::runtime_error("interrupted");
        }
    }
};

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

// Ctrl-C halfway through a reclaim takes nothing: the next reclaim returns every cubic metre and every
// quality total stacked, wherever the interrupt landed.
class InterruptedLayeredReclaim : public ::testing::TestWithParam<int> {};

TEST_P(InterruptedLayeredReclaim, LeavesEverythingOnTheBed) {
    Pile pile(fineLayeredSettings());
    pile.stackTable(tableOf(wanderingRows(3, 80)), chunkColumns);
    const auto stacked = heldBy(pile);
    pile.setInterruptCheck(InterruptAt{GetParam()});
    EXPECT_THROW(pile.reclaim(), std::runtime_error);
    EXPECT_EQ(heldBy(pile), stacked);
    pile.setInterruptCheck({});
    const auto reclaimed = takenBy(pile.reclaim());
    EXPECT_NEAR(reclaimed.first, stacked.first, 1e-9 * stacked.first);
    EXPECT_NEAR(reclaimed.second, stacked.second, 1e-9 * std::fabs(stacked.second));
}

// The check is called every 1024th poll; the bed has 9,600 cells.
INSTANTIATE_TEST_SUITE_P(Polls, InterruptedLayeredReclaim, ::testing::Values(1, 2, 5, 9));

// An interrupted stack has laid whole deliveries only, and says how much: the volume the layers hold.
class InterruptedLayeredStack : public ::testing::TestWithParam<int> {};

TEST_P(InterruptedLayeredStack, CountsTheDeliveriesItLaid) {
    Pile pile(fineLayeredSettings());
    pile.setInterruptCheck(InterruptAt{GetParam()});
    // Polled for every row and every delivery: 3,000 rows reach the check a few times.
    const auto rows = wanderingRows(5, 3000);
    EXPECT_THROW(pile.stackTable(tableOf(rows), chunkColumns), std::runtime_error);
    pile.setInterruptCheck({});
    const double stacked = pile.stackedVolume();
    EXPECT_GT(stacked, 0.0);
    EXPECT_NEAR(heldBy(pile).first, stacked, 1e-9 * stacked);
    double rowsLaid = 0.0;
    for (std::size_t k = 3; k < rows.size() && rowsLaid < stacked * (1.0 - 1e-12); k += 5) {
        rowsLaid += rows[k];
    }
    EXPECT_DOUBLE_EQ(rowsLaid, stacked);
    EXPECT_NEAR(takenBy(pile.reclaim()).first, stacked, 1e-9 * stacked);
}

INSTANTIATE_TEST_SUITE_P(Polls, InterruptedLayeredStack, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace korvex
