#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "detailed/drop_randomness.h"
#include "detailed/heap_map_cell.h"
#include "detailed/resting_columns.h"
#include "detailed_world.h"
#include "tests/engine_access.h"

using namespace korvex::testing;

namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

float lowestCorner(const DetailedParticle& particle) {
    const btTransform transform = particle.body.transform();
    const btVector3 half = particle.dimensions * 0.5f;
    float lowest = std::numeric_limits<float>::max();
    for (int corner = 0; corner < 8; ++corner) {
        const btVector3 local((corner & 1) ? half.x() : -half.x(), (corner & 2) ? half.y() : -half.y(),
                              (corner & 4) ? half.z() : -half.z());
        lowest = std::min(lowest, (transform * local).y());
    }
    return lowest;
}

void expectOnlyRaised(Detailed& simulator, std::optional<std::uint32_t> column, std::uint32_t row,
                      float height) {
    for (std::uint32_t j = 0; j < simulator.heapMapRows(); ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapColumns(); ++i) {
            EXPECT_EQ(simulator.heightAt(i, j), column == i && row == j ? height : 0.0f) << i << ", " << j;
        }
    }
}

TEST(DetailedSettling, SingleBoxComesToRestOnTheGroundAndRaisesItsCell) {
    korvex::detail::seedDropRandomness(5u);
    Detailed simulator(pileOfMetreBoxes());
    simulator.finishStacking();
    EXPECT_EQ(simulator.stepsSinceBuriedPass(), 0);

    simulator.stack(5.0f, 6.0f, material(1.0, {4.0, 8.0}));
    const DetailedParticle& particle = simulator.particles().front();
    simulator.simulateStep();
    ASSERT_EQ(simulator.movingRecordList().size(), 1u);
    const auto* record = simulator.movingRecordList().front();
    EXPECT_FALSE(record->settled);
    EXPECT_EQ(record->material.sums, (std::vector<double>{4.0, 8.0}));

    simulator.finishStacking();
    EXPECT_TRUE(particle.settled);
    EXPECT_TRUE(simulator.movingParticles().empty());
    EXPECT_LE(simulator.simulationTime(), 25080u);  // settled by age at the latest, retired a step later
    const btVector3 centre = centreOf(particle);
    EXPECT_NEAR(lowestCorner(particle), 0.0f, 0.05f);
    expectOnlyRaised(simulator, static_cast<std::uint32_t>(std::lround(centre.x())),
                     static_cast<std::uint32_t>(std::lround(centre.z())), centre.y());

    // Published a last time, at rest where it lies.
    EXPECT_TRUE(simulator.movingRecordList().empty());
    ASSERT_EQ(simulator.settledRecordList().size(), 1u);
    EXPECT_TRUE(record->settled);
    EXPECT_EQ(record->position[1], centre.y());
    EXPECT_NEAR(record->orientation[0], particle.body.transform().getRotation().w(), 1e-6);

    for (int step = 0; step < 20; ++step) {
        simulator.simulateStep();
    }
    EXPECT_EQ(centreOf(particle), centre);
}

struct AgeCase {
    std::uint64_t age;
    int activationState;
    bool settles;
};

class DetailedAgeRule : public ::testing::TestWithParam<AgeCase> {};

TEST_P(DetailedAgeRule, OnlyABodyThatWantsToSleepSettlesBefore25Seconds) {
    EXPECT_EQ(korvex::settlesByAge(GetParam().age, GetParam().activationState), GetParam().settles);
}

INSTANTIATE_TEST_SUITE_P(Ages, DetailedAgeRule,
                         ::testing::Values(AgeCase{14999, WANTS_DEACTIVATION, false},
                                           AgeCase{15000, WANTS_DEACTIVATION, true},
                                           AgeCase{24999, ISLAND_SLEEPING, false},
                                           AgeCase{25000, ACTIVE_TAG, true}));

TEST(DetailedSettling, BodyThatNeverRestsIsSettledAt25SecondsAndRetiredAStepLater) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& particle =
        placeParticle(simulator, 5.0f, 10000.0f, 5.0f, material(1.0, {1.0}), btVector3(0.0f, -10.0f, 0.0f));

    // The step that starts at 25020 ms is the first to see an age of 25000 ms or more.
    for (int step = 0; step < 25020 / 30; ++step) {
        simulator.simulateStep();
    }
    EXPECT_FALSE(particle.settled);
    simulator.simulateStep();
    EXPECT_TRUE(particle.settled);
    EXPECT_EQ(simulator.movingParticles().size(), 1u);
    const float height = centreOf(particle).y();
    EXPECT_GT(height, 1000.0f);  // still falling
    EXPECT_LT(height, 9000.0f);
    EXPECT_EQ(simulator.heightAt(5, 5), height);

    simulator.simulateStep();
    EXPECT_TRUE(simulator.movingParticles().empty());
    EXPECT_FALSE(simulator.particlesInMotion());
    EXPECT_TRUE(simulator.movingRecordList().empty());
    EXPECT_EQ(simulator.settledRecordList().size(), 1u);
}

TEST(DetailedSettling, RestingBodyUnderAnAwakeOneSettlesAt15Seconds) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& below = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
    DetailedParticle& above = placeParticle(simulator, 5.0f, 1.5f, 5.0f, material(1.0, {2.0}));
    // The body on top never sleeps, so their island never does and the lower body keeps wanting to.
    above.body.body().forceActivationState(DISABLE_DEACTIVATION);

    std::optional<std::uint64_t> belowSettledAt;
    std::optional<std::uint64_t> aboveSettledAt;
    while (simulator.particlesInMotion()) {
        const std::uint64_t stepStart = simulator.simulationTime();
        simulator.simulateStep();
        if (below.settled && !belowSettledAt) {
            belowSettledAt = stepStart;
        }
        if (above.settled && !aboveSettledAt) {
            aboveSettledAt = stepStart;
        }
    }
    EXPECT_EQ(belowSettledAt, 15000u);
    EXPECT_EQ(aboveSettledAt, 25020u);
    EXPECT_NEAR(simulator.heightAt(5, 5), 1.5f, 0.05f);
}

struct CellCase {
    float x;
    float y;
    float z;
    std::optional<std::uint32_t> column;
    std::uint32_t row;
};

class DetailedHeapMapCell : public ::testing::TestWithParam<CellCase> {};

// A centre beyond the grid raises the nearest edge cell; one without a height raises nothing.
TEST_P(DetailedHeapMapCell, SettlingRaisesTheNearestCellInsideTheGrid) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& particle = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
    moveCentre(particle, GetParam().x, GetParam().y, GetParam().z);
    simulator.settleParticle(particle);
    EXPECT_TRUE(particle.settled);
    expectOnlyRaised(simulator, GetParam().column, GetParam().row, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, DetailedHeapMapCell,
    ::testing::Values(CellCase{3.2f, 2.5f, 6.7f, 3u, 7}, CellCase{4.5f, 2.5f, 5.5f, 5u, 6},
                      CellCase{-0.3f, 2.5f, 3.0f, 0u, 3}, CellCase{25.0f, 2.5f, -7.0f, 10u, 0},
                      CellCase{-1e30f, 2.5f, 1e30f, 0u, 10}, CellCase{infinity, 2.5f, -infinity, 10u, 0},
                      CellCase{nan, 2.5f, 3.0f, std::nullopt, 0},
                      CellCase{3.0f, infinity, 3.0f, std::nullopt, 0}));

TEST(DetailedSettling, LowerParticleLeavesTheCellAsItWas) {
    Detailed simulator(pileOfMetreBoxes());
    placeSettled(simulator, 2.0f, 3.0f, 2.0f, material(1.0, {1.0}));
    placeSettled(simulator, 2.2f, 1.0f, 1.9f, material(1.0, {1.0}));
    EXPECT_EQ(simulator.heightAt(2, 2), 3.0f);
}

TEST(DetailedSettling, FarOffDropSettlesBesideTheBedAndRaisesTheNearestEdgeCell) {
    korvex::detail::seedDropRandomness(11u);
    Detailed simulator(pileOfMetreBoxes());
    simulator.dropParticle(1e30f, -1e30f, material(1.0, {1.0}));
    simulator.finishStacking();
    const DetailedParticle& particle = simulator.particles().front();
    EXPECT_TRUE(particle.settled);
    expectOnlyRaised(simulator, simulator.heapMapColumns() - 1, 0, centreOf(particle).y());
    EXPECT_EQ(simulator.reclaim(30.0f).volume, 1.0);
}

struct IndexCase {
    float scaled;
    std::optional<std::uint32_t> within;
};

class DetailedCellIndex : public ::testing::TestWithParam<IndexCase> {};

TEST_P(DetailedCellIndex, OutsideTheGridIsDecidedBeforeRounding) {
    EXPECT_EQ(korvex::cellWithin(GetParam().scaled, 10), GetParam().within);
}

INSTANTIATE_TEST_SUITE_P(Values, DetailedCellIndex,
                         ::testing::Values(IndexCase{-0.49f, 0u}, IndexCase{-0.5f, std::nullopt},
                                           IndexCase{9.49f, 9u}, IndexCase{9.5f, std::nullopt},
                                           IndexCase{3e38f, std::nullopt}, IndexCase{nan, std::nullopt}));

TEST(DetailedBuriedPass, TakesDeepSettledBodiesOutOnceOnEveryHundredthStepOfItsSimulator) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& buried = placeSettled(simulator, 3.0f, 0.5f, 3.0f, material(1.0, {4.0}));
    DetailedParticle& shallow = placeSettled(simulator, 7.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    DetailedParticle& outside = placeSettled(simulator, -5.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    DetailedParticle& moving = placeParticle(simulator, 3.0f, 0.5f, 6.0f, material(1.0, {1.0}));
    placeSettled(simulator, 3.0f, 10.0f, 3.0f, material(1.0, {6.0}));
    // exactly four sizes above its centre: not buried
    korvex::testing::EngineAccess::height(simulator, 7, 3) = 4.5f;
    korvex::testing::EngineAccess::height(simulator, 0, 3) = 10.0f;
    korvex::testing::EngineAccess::height(simulator, 3, 6) = 10.0f;
    ASSERT_EQ(bodiesInWorld(simulator), 6u);

    // Steps of another simulator do not count.
    Detailed other(pileOfMetreBoxes());
    for (int step = 0; step < 150; ++step) {
        other.simulateStep();
    }
    EXPECT_EQ(simulator.stepsSinceBuriedPass(), 0);
    for (int step = 0; step < 99; ++step) {
        simulator.simulateStep();
    }
    EXPECT_TRUE(buried.inWorld());
    simulator.simulateStep();
    EXPECT_FALSE(buried.inWorld());
    EXPECT_TRUE(shallow.inWorld() && outside.inWorld() && moving.inWorld());
    EXPECT_EQ(bodiesInWorld(simulator), 5u);

    for (int step = 0; step < 200; ++step) {
        simulator.simulateStep();
    }
    EXPECT_FALSE(buried.inWorld());
    EXPECT_EQ(bodiesInWorld(simulator), 5u);

    // Still on the pile: reclaimed once with the others before x = 3.5, and the heights stay.
    const korvex::AveragedParameters slice = simulator.reclaim(3.5f);
    EXPECT_EQ(slice.volume, 4.0);
    EXPECT_EQ(slice.sums, std::vector<double>{4.0 + 1.0 + 1.0 + 6.0});
    EXPECT_EQ(simulator.heightAt(3, 3), 10.0f);
    EXPECT_EQ(bodiesInWorld(simulator), 2u);
    EXPECT_EQ(simulator.reclaim(100.0f).volume, 1.0);
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

// Filing by cell: only particles more than the depth below their cell's height come out, each once, and a
// cell emptied by a removal or by burial can be filed under again.
TEST(DetailedRestingColumns, TakesOutOnlyWhatLiesDeeperThanTheDepthBelowItsCell) {
    std::array<int, 6> particles{};
    korvex::RestingColumns<int> columns;
    columns.reset(4);
    columns.add(0, &particles[0], 0.5f);
    columns.add(0, &particles[1], 1.5f);
    columns.add(1, &particles[2], 0.5f);
    columns.add(2, &particles[3], 0.5f);
    columns.add(3, &particles[4], 0.5f);
    columns.remove(2, &particles[3]);
    columns.remove(2, &particles[5]);  // never filed: nothing happens

    std::array<float, 4> heights{5.0f, 4.5f, 9.0f, 0.5f};  // cell 1: exactly four above, not buried
    std::vector<int*> buried;
    columns.takeBuried(heights.data(), 4.0, buried);
    EXPECT_EQ(buried, std::vector<int*>{&particles[0]});

    buried.clear();
    columns.takeBuried(heights.data(), 4.0, buried);
    EXPECT_TRUE(buried.empty());

    heights = {9.0f, 9.0f, 9.0f, 9.0f};
    columns.add(2, &particles[5], 1.0f);
    columns.takeBuried(heights.data(), 4.0, buried);
    std::sort(buried.begin(), buried.end());
    EXPECT_EQ(buried, (std::vector<int*>{&particles[1], &particles[2], &particles[4], &particles[5]}));

    buried.clear();
    columns.add(1, &particles[2], 8.0f);
    heights[1] = 20.0f;
    columns.takeBuried(heights.data(), 4.0, buried);
    EXPECT_EQ(buried, std::vector<int*>{&particles[2]});
}

}  // namespace
