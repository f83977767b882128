#include "pile/pile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "pile_scenes.h"

using korvex::Engine;
using korvex::Pile;
using korvex::ReclaimedSlice;
using korvex::testing::chunkColumns;
using korvex::testing::smallPileSettings;
using korvex::testing::stackerPass;
using korvex::testing::tableOf;

namespace {

struct Outcome {
    std::vector<float> heights;
    std::vector<float> positions;
    std::vector<double> volumes;
    std::vector<double> sums;

    bool operator==(const Outcome&) const = default;
};

Outcome outcomeOf(Pile& pile) {
    Outcome outcome;
    const auto heights = pile.heights();
    outcome.heights.assign(heights.begin(), heights.end());
    for (const ReclaimedSlice& slice : pile.reclaim()) {
        outcome.positions.push_back(slice.position);
        outcome.volumes.push_back(slice.material.volume);
        outcome.sums.insert(outcome.sums.end(), slice.material.sums.begin(), slice.material.sums.end());
    }
    return outcome;
}

Outcome stackAndReclaim(Engine engine, std::uint64_t seed, int chunks = 40) {
    Pile pile(smallPileSettings(engine, seed));
    const auto rows = stackerPass(chunks, 1.5);
    pile.stackTable(tableOf(rows), chunkColumns);
    return outcomeOf(pile);
}

class SeededPile : public ::testing::TestWithParam<Engine> {};

TEST_P(SeededPile, RepeatsItselfToTheBitAndDiffersWithTheSeed) {
    const Outcome first = stackAndReclaim(GetParam(), 11);
    EXPECT_EQ(stackAndReclaim(GetParam(), 11), first);
    EXPECT_NE(stackAndReclaim(GetParam(), 12).heights, first.heights);
}

// Piles with sources of their own do not disturb each other, whichever order their calls come in.
TEST_P(SeededPile, IsUndisturbedByAnotherPileStackingInBetween) {
    const Outcome alone = stackAndReclaim(GetParam(), 5);
    Pile pile(smallPileSettings(GetParam(), 5));
    Pile other(smallPileSettings(GetParam(), 6));
    const auto rows = stackerPass(40, 1.5);
    for (std::size_t half = 0; half < 2; ++half) {
        const std::vector<double> part(rows.begin() + half * rows.size() / 2,
                                       rows.begin() + (half + 1) * rows.size() / 2);
        pile.stackTable(tableOf(part), chunkColumns);
        other.stackTable(tableOf(part), chunkColumns);
    }
    EXPECT_EQ(outcomeOf(pile), alone);
}

TEST_P(SeededPile, LogsEveryParticleOnceWhereItCameToRest) {
    Pile pile(smallPileSettings(GetParam(), 3));
    const auto rows = stackerPass(20, 2.0);
    pile.stackTable(tableOf(rows), chunkColumns);
    const korvex::ParticleLog& log = *pile.settledParticles();
    ASSERT_EQ(log.size(), 40u);
    ASSERT_EQ(log.qualityCount(), 1u);
    std::vector<std::uint64_t> order = log.dropIndex;
    std::sort(order.begin(), order.end());
    std::vector<std::uint64_t> expected(40);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(order, expected);
    for (std::size_t k = 0; k < log.size(); ++k) {
        // Two particles a chunk, so the drop index says which chunk's value the particle carries.
        EXPECT_EQ(log.values[k], static_cast<float>(10 + (log.dropIndex[k] / 2) % 7)) << k;
        EXPECT_GT(log.y[k], 0.0f);
        EXPECT_GE(log.x[k], -1.0f);
        EXPECT_LE(log.x[k], 13.0f);
    }
}

TEST_P(SeededPile, InterruptEndsALongStackKeepingWhatWasStacked) {
    Pile pile(smallPileSettings(GetParam(), 3));
    int checks = 0;
    pile.setInterruptCheck([&checks] {
        if (++checks == 2) {
            throw std::runtime_error("interrupted");
        }
    });
    const auto rows = stackerPass(4, 2000.0);
    EXPECT_THROW(pile.stackTable(tableOf(rows), chunkColumns), std::runtime_error);
    EXPECT_EQ(checks, 2);
    pile.setInterruptCheck({});
    const Outcome outcome = outcomeOf(pile);
    const double reclaimed = std::accumulate(outcome.volumes.begin(), outcome.volumes.end(), 0.0);
    // The check runs every 1024 particles or steps: the second call came well before the table's end.
    EXPECT_GT(reclaimed, 0.0);
    EXPECT_LT(reclaimed, 8000.0);
}

INSTANTIATE_TEST_SUITE_P(Engines, SeededPile, ::testing::Values(Engine::fast, Engine::detailed),
                         [](const auto& info) { return info.param == Engine::fast ? "Fast" : "Detailed"; });

struct LongTable {
    Engine engine;
    int rows;
    double volume_m3;
};

// The particle engines poll within a row, the layered engine between rows: each table is long enough for
// the second check to come before its end.
class InterruptedTable : public ::testing::TestWithParam<LongTable> {};

TEST_P(InterruptedTable, LeavesOnThePileTheVolumeThePileSaysItStacked) {
    const LongTable table = GetParam();
    Pile pile(smallPileSettings(table.engine, 3));
    int checks = 0;
    pile.setInterruptCheck([&checks] {
        if (++checks == 2) {
            throw std::runtime_error("interrupted");
        }
    });
    EXPECT_THROW(pile.stackTable(tableOf(stackerPass(table.rows, table.volume_m3)), chunkColumns),
                 std::runtime_error);
    pile.setInterruptCheck({});
    const double stacked = pile.stackedVolume();
    EXPECT_GT(stacked, 0.0);
    EXPECT_LT(stacked, table.rows * table.volume_m3);
    const Outcome outcome = outcomeOf(pile);
    const double reclaimed = std::accumulate(outcome.volumes.begin(), outcome.volumes.end(), 0.0);
    EXPECT_NEAR(reclaimed, stacked, 1e-9 * stacked);
}

INSTANTIATE_TEST_SUITE_P(Engines, InterruptedTable,
                         ::testing::Values(LongTable{Engine::fast, 4, 2000.0},
                                           LongTable{Engine::detailed, 4, 2000.0},
                                           LongTable{Engine::layered, 1200, 0.5}),
                         [](const auto& info) { return std::string(korvex::engineName(info.param.engine)); });

TEST(Pile, RefusesATableWhoseQualityColumnsDifferFromThePiles) {
    Pile pile(smallPileSettings(Engine::fast, 1));
    pile.stackTable(tableOf(stackerPass(4, 1.0)), chunkColumns);
    const std::vector<std::string> renamed{"timestamp", "x", "z", "volume", "CaO"};
    EXPECT_THROW(pile.stackTable(tableOf(stackerPass(4, 1.0)), renamed), std::invalid_argument);
    EXPECT_EQ(pile.qualityNames(), std::vector<std::string>{"q"});
}

TEST(Pile, ReclaimsAtTheCellSizeUnlessGivenAStep) {
    korvex::PileSettings settings = smallPileSettings(Engine::fast, 1);
    settings.configuration.particlesPerCubicMeter = 8.0f;
    EXPECT_EQ(Pile(settings).reclaimIncrement(), 0.5f);
    settings.reclaimIncrement = 2.0f;
    EXPECT_EQ(Pile(settings).reclaimIncrement(), 2.0f);
    settings.reclaimIncrement = -1.0f;
    EXPECT_THROW(Pile{settings}, std::invalid_argument);
}

}  // namespace
