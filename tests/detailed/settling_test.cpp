#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "detailed/drop_randomness.h"
#include "detailed/heap_map_cell.h"
#include "detailed/step_counter.h"
#include "detailed_world.h"

using namespace korvex::testing;
using korvex::KorvexConfiguration;

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

TEST(DetailedSettling, SingleBoxComesToRestOnTheGroundAndRaisesItsCell) {
    korvex::detail::seedDropRandomness(5u);
    Detailed simulator(pileOfMetreBoxes());
    simulator.stack(5.0f, 6.0f, material(1.0, {4.0, 8.0}));
    ASSERT_EQ(simulator.particles.size(), 1u);
    const DetailedParticle& particle = simulator.particles.front();

    simulator.simulateStep();
    ASSERT_EQ(simulator.movingRecords.size(), 1u);
    const auto* record = simulator.movingRecords.front();
    EXPECT_EQ(record, particle.viewerRecord.get());
    EXPECT_FALSE(record->settled);
    EXPECT_EQ(record->material.sums, (std::vector<double>{4.0, 8.0}));
    EXPECT_EQ(record->dimensions[1], particle.dimensions.y());
    EXPECT_EQ(record->position[2], centreOf(particle).z());

    simulator.finishStacking();
    EXPECT_TRUE(particle.settled);
    EXPECT_TRUE(simulator.movingParticles.empty());
    EXPECT_FALSE(simulator.particlesInMotion.load());
    // settled at the latest by the step that starts at 25020 ms, retired by the next
    EXPECT_LE(simulator.simulationTime, 25080u);

    const btVector3 centre = centreOf(particle);
    EXPECT_NEAR(lowestCorner(particle), 0.0f, 0.05f);
    const auto i = static_cast<std::uint32_t>(std::lround(centre.x()));
    const auto j = static_cast<std::uint32_t>(std::lround(centre.z()));
    for (std::uint32_t row = 0; row < simulator.heapMapDepth; ++row) {
        for (std::uint32_t column = 0; column < simulator.heapMapWidth; ++column) {
            EXPECT_EQ(simulator.heightAt(column, row), column == i && row == j ? centre.y() : 0.0f);
        }
    }

    // The last publication shows the particle at rest where it lies.
    EXPECT_TRUE(simulator.movingRecords.empty());
    ASSERT_EQ(simulator.settledRecords.size(), 1u);
    EXPECT_TRUE(record->settled);
    EXPECT_EQ(record->position[1], centre.y());
    const btQuaternion rotation = particle.body.transform().getRotation();
    EXPECT_NEAR(record->orientation[0], rotation.w(), 1e-6);
    EXPECT_NEAR(record->orientation[3], rotation.z(), 1e-6);

    // Frozen: further steps leave it where it is.
    for (int step = 0; step < 20; ++step) {
        simulator.simulateStep();
    }
    EXPECT_EQ(centreOf(particle), centre);
}

TEST(DetailedSettling, FinishStackingWithNothingMovingRunsNoStep) {
    Detailed simulator(pileOfMetreBoxes());
    const int countBefore = korvex::detail::stepsSinceBuriedPass();
    simulator.finishStacking();
    EXPECT_EQ(simulator.simulationTime, 0u);
    EXPECT_EQ(korvex::detail::stepsSinceBuriedPass(), countBefore);
}

TEST(DetailedSettling, PausedStepOnlySleeps) {
    Detailed simulator(pileOfMetreBoxes());
    placeParticle(simulator, 5.0f, 3.0f, 5.0f, material(1.0, {1.0}));
    const int countBefore = korvex::detail::stepsSinceBuriedPass();
    simulator.pause();
    simulator.simulateStep();
    EXPECT_EQ(simulator.simulationTime, 0u);
    EXPECT_EQ(korvex::detail::stepsSinceBuriedPass(), countBefore);
    EXPECT_TRUE(simulator.movingRecords.empty());
    simulator.resume();
    simulator.simulateStep();
    EXPECT_EQ(simulator.simulationTime, 30u);
    EXPECT_EQ(simulator.movingRecords.size(), 1u);
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
                                           AgeCase{15000, ACTIVE_TAG, false},
                                           AgeCase{24999, ISLAND_SLEEPING, false},
                                           AgeCase{24999, DISABLE_DEACTIVATION, false},
                                           AgeCase{25000, ACTIVE_TAG, true},
                                           AgeCase{25000, ISLAND_SLEEPING, true},
                                           AgeCase{0, WANTS_DEACTIVATION, false}));

TEST(DetailedSettling, BodyThatNeverRestsIsSettledAt25SecondsAndRetiredAStepLater) {
    Detailed simulator(pileOfMetreBoxes());
    // Still falling after 25 seconds.
    DetailedParticle& particle =
        placeParticle(simulator, 5.0f, 10000.0f, 5.0f, material(1.0, {1.0}), btVector3(0.0f, -10.0f, 0.0f));

    // The step that starts at 25020 ms is the first to see an age of 25000 ms or more.
    const int stepsBefore = 25020 / 30;
    for (int step = 0; step < stepsBefore; ++step) {
        simulator.simulateStep();
    }
    EXPECT_FALSE(particle.settled);
    simulator.simulateStep();
    EXPECT_TRUE(particle.settled);
    EXPECT_EQ(simulator.movingParticles.size(), 1u);
    EXPECT_EQ(simulator.movingRecords.size(), 1u);
    const float height = centreOf(particle).y();
    EXPECT_LT(height, 9000.0f);
    EXPECT_GT(height, 1000.0f);
    EXPECT_NE(particle.body.body().getActivationState(), WANTS_DEACTIVATION);
    EXPECT_EQ(simulator.heightAt(5, 5), height);

    simulator.simulateStep();
    EXPECT_TRUE(simulator.movingParticles.empty());
    EXPECT_FALSE(simulator.particlesInMotion.load());
    EXPECT_TRUE(simulator.movingRecords.empty());
    ASSERT_EQ(simulator.settledRecords.size(), 1u);
    EXPECT_TRUE(simulator.settledRecords.front()->settled);
}

TEST(DetailedSettling, RestingBodyUnderAnAwakeOneSettlesAt15Seconds) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& below = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
    DetailedParticle& above = placeParticle(simulator, 5.0f, 1.5f, 5.0f, material(1.0, {2.0}));
    // The body on top never sleeps, so their island never does and the lower body keeps wanting to.
    above.body.body().forceActivationState(DISABLE_DEACTIVATION);

    std::optional<std::uint64_t> belowSettledAt;
    std::optional<std::uint64_t> aboveSettledAt;
    while (simulator.particlesInMotion.load()) {
        const std::uint64_t stepStart = simulator.simulationTime;
        simulator.simulateStep();
        if (below.settled && !belowSettledAt) {
            belowSettledAt = stepStart;
        }
        if (above.settled && !aboveSettledAt) {
            aboveSettledAt = stepStart;
        }
    }
    ASSERT_TRUE(belowSettledAt && aboveSettledAt);
    EXPECT_EQ(*belowSettledAt, 15000u);
    EXPECT_EQ(*aboveSettledAt, 25020u);
    EXPECT_NEAR(simulator.heightAt(5, 5), 1.5f, 0.05f);
}

struct CellCase {
    float x;
    float z;
    std::uint32_t column;
    std::uint32_t row;
};

class DetailedHeapMapCell : public ::testing::TestWithParam<CellCase> {};

TEST_P(DetailedHeapMapCell, SettlingRaisesTheNearestCellInsideTheGrid) {
    Detailed simulator(pileOfMetreBoxes());
    ASSERT_EQ(simulator.heapMapWidth, 11u);
    DetailedParticle& particle = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
    moveCentre(particle, GetParam().x, 2.5f, GetParam().z);
    simulator.settleParticle(particle);

    EXPECT_TRUE(particle.settled);
    for (std::uint32_t j = 0; j < simulator.heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapWidth; ++i) {
            const bool raised = i == GetParam().column && j == GetParam().row;
            EXPECT_EQ(simulator.heightAt(i, j), raised ? 2.5f : 0.0f) << i << ", " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Positions, DetailedHeapMapCell,
                         ::testing::Values(CellCase{3.2f, 6.7f, 3, 7}, CellCase{4.5f, 5.5f, 5, 6},
                                           CellCase{-0.3f, 3.0f, 0, 3}, CellCase{10.4f, 10.6f, 10, 10},
                                           CellCase{25.0f, -7.0f, 10, 0},
                                           CellCase{-1e30f, 1e30f, 0, 10},
                                           CellCase{infinity, -infinity, 10, 0}));

TEST(DetailedSettling, NothingIsRecordedForACentreWithoutAHeight) {
    Detailed simulator(pileOfMetreBoxes());
    const std::vector<btVector3> centres{{nan, 2.0f, 3.0f}, {3.0f, 2.0f, nan}, {3.0f, infinity, 3.0f},
                                         {3.0f, nan, 3.0f}};
    for (const btVector3& centre : centres) {
        DetailedParticle& particle = placeParticle(simulator, 5.0f, 0.5f, 5.0f, material(1.0, {1.0}));
        moveCentre(particle, centre.x(), centre.y(), centre.z());
        simulator.settleParticle(particle);
        EXPECT_TRUE(particle.settled);
    }
    for (std::uint32_t j = 0; j < simulator.heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapWidth; ++i) {
            EXPECT_EQ(simulator.heightAt(i, j), 0.0f);
        }
    }
}

TEST(DetailedSettling, LowerParticleLeavesTheCellAsItWas) {
    Detailed simulator(pileOfMetreBoxes());
    placeSettled(simulator, 2.0f, 3.0f, 2.0f, material(1.0, {1.0}));
    placeSettled(simulator, 2.2f, 1.0f, 1.9f, material(1.0, {1.0}));
    EXPECT_EQ(simulator.heightAt(2, 2), 3.0f);
}

TEST(DetailedSettling, FarOffDropEndsAndLeavesTheHeapMapAlone) {
    korvex::detail::seedDropRandomness(11u);
    Detailed simulator(pileOfMetreBoxes());
    simulator.dropParticle(1e30f, -1e30f, material(1.0, {1.0}));
    simulator.finishStacking();
    EXPECT_TRUE(simulator.particles.front().settled);
    for (std::uint32_t j = 0; j < simulator.heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapWidth; ++i) {
            EXPECT_EQ(simulator.heightAt(i, j), 0.0f);
        }
    }
    EXPECT_EQ(simulator.reclaim(1e38f).volume, 1.0);
}

struct IndexCase {
    float scaled;
    std::optional<std::uint32_t> clamped;
    std::optional<std::uint32_t> within;
};

class DetailedCellIndex : public ::testing::TestWithParam<IndexCase> {};

// Ten cells; halves round away from zero.
TEST_P(DetailedCellIndex, IsDecidedBeforeAnyIntegerConversion) {
    EXPECT_EQ(korvex::clampedCell(GetParam().scaled, 10), GetParam().clamped);
    EXPECT_EQ(korvex::cellWithin(GetParam().scaled, 10), GetParam().within);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DetailedCellIndex,
    ::testing::Values(IndexCase{0.0f, 0u, 0u}, IndexCase{-0.49f, 0u, 0u}, IndexCase{-0.5f, 0u, std::nullopt},
                      IndexCase{2.5f, 3u, 3u}, IndexCase{9.49f, 9u, 9u}, IndexCase{9.5f, 9u, std::nullopt},
                      IndexCase{-3e38f, 0u, std::nullopt}, IndexCase{3e38f, 9u, std::nullopt},
                      IndexCase{infinity, 9u, std::nullopt}, IndexCase{-infinity, 0u, std::nullopt},
                      IndexCase{nan, std::nullopt, std::nullopt}));

TEST(DetailedBuriedPass, TakesDeepSettledBodiesOutOnceOnEveryHundredthStepOfTheProcess) {
    Detailed simulator(pileOfMetreBoxes());
    DetailedParticle& buried = placeSettled(simulator, 3.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    DetailedParticle& shallow = placeSettled(simulator, 7.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    DetailedParticle& outside = placeSettled(simulator, -5.0f, 0.5f, 3.0f, material(1.0, {1.0}));
    DetailedParticle& moving = placeParticle(simulator, 3.0f, 0.5f, 6.0f, material(1.0, {1.0}));
    simulator.heightAt(3, 3) = 10.0f;
    simulator.heightAt(7, 3) = 4.5f;  // exactly four sizes above its centre: not buried
    simulator.heightAt(0, 3) = 10.0f;
    simulator.heightAt(3, 6) = 10.0f;
    ASSERT_EQ(bodiesInWorld(simulator), 5u);

    // Steps of another simulator count too.
    Detailed other(pileOfMetreBoxes());
    while (korvex::detail::stepsSinceBuriedPass() != 99) {
        other.simulateStep();
    }
    EXPECT_TRUE(buried.inWorld());
    simulator.simulateStep();
    EXPECT_EQ(korvex::detail::stepsSinceBuriedPass(), 0);
    EXPECT_FALSE(buried.inWorld());
    EXPECT_TRUE(shallow.inWorld());
    EXPECT_TRUE(outside.inWorld());
    EXPECT_TRUE(moving.inWorld());
    EXPECT_EQ(bodiesInWorld(simulator), 4u);
    EXPECT_EQ(simulator.particles.size(), 4u);

    for (int step = 0; step < 200; ++step) {
        simulator.simulateStep();
    }
    EXPECT_FALSE(buried.inWorld());
    EXPECT_EQ(bodiesInWorld(simulator), 4u);
    EXPECT_EQ(simulator.heightAt(3, 3), 10.0f);
}

}  // namespace
