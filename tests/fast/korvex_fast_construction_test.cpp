#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "fast_test_support.h"

using namespace korvex::testing_support;
using korvex::KorvexConfiguration;

TEST(KorvexFastConstruction, StraightPileHasABorderedGridAndOneSlicePerColumn) {
    Fast simulator(pile(10.0f, 4.0f));
    EXPECT_EQ(simulator.cellSize, 0.5f);
    EXPECT_EQ(simulator.heapMapWidth, 20u);
    EXPECT_EQ(simulator.heapMapDepth, 8u);
    EXPECT_EQ(simulator.columnCounts.columns(), 22u);
    EXPECT_EQ(simulator.columnCounts.rows(), 10u);
    EXPECT_EQ(simulator.slices.size(), 20u);
    EXPECT_EQ(simulator.circleLength, 0.0);
    EXPECT_EQ(simulator.lastReclaimPosition, 0.0f);
    EXPECT_TRUE(bordersIntact(simulator));
    EXPECT_EQ(totalCubes(simulator), 0);
    for (std::uint32_t k = 0; k < 20 * 8; ++k) {
        EXPECT_EQ(simulator.heapMap[k], 0.0f);
    }
}

class KorvexFastCircularPile : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(KorvexFastCircularPile, SlicesTheCentreLineOfTheShorterExtent) {
    auto configuration = pile(GetParam().first, GetParam().second);
    configuration.circular = true;
    Fast simulator(configuration);
    EXPECT_EQ(simulator.circleLength, 4.0 * 1.5707963705062866);
    EXPECT_EQ(simulator.slices.size(), 13u);
    EXPECT_EQ(simulator.heapMapWidth * simulator.heapMapDepth, 160u);
}

INSTANTIATE_TEST_SUITE_P(Extents, KorvexFastCircularPile,
                         testing::Values(std::pair{10.0f, 4.0f}, std::pair{4.0f, 10.0f}));

class KorvexFastReclaimSlope : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(KorvexFastReclaimSlope, IsTheTangentOfTheAngle) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = GetParam().first;
    const float expected = GetParam().second;
    const float slope = Fast(configuration).reclaimSlope;
    EXPECT_EQ(slope, expected);
}

INSTANTIATE_TEST_SUITE_P(Angles, KorvexFastReclaimSlope,
                         testing::Values(std::pair{90.0f, infF}, std::pair{89.995f, infF},
                                         std::pair{90.009f, infF}, std::pair{89.98f, 2865.2698f},
                                         std::pair{45.0f, 1.0f}, std::pair{30.0f, 0.57735026f},
                                         std::pair{0.0f, 0.0f}, std::pair{-45.0f, -1.0f}));

class KorvexFastSmallestPile : public testing::TestWithParam<bool> {};

TEST_P(KorvexFastSmallestPile, HalfACellEachWayGivesOneColumnRowAndSlice) {
    auto configuration = pile(0.25f, 0.25f);
    configuration.circular = GetParam();
    Fast simulator(configuration);
    ASSERT_EQ(simulator.heapMapWidth, 1u);
    ASSERT_EQ(simulator.heapMapDepth, 1u);
    ASSERT_EQ(simulator.slices.size(), 1u);
    for (int k = 0; k < 3; ++k) {
        simulator.dropParticle(1.0f, -1.0f, particle());
    }
    EXPECT_EQ(simulator.columnCounts[1][1], 3);
    EXPECT_DOUBLE_EQ(simulator.slices[0].volume, 0.375);
}

INSTANTIATE_TEST_SUITE_P(StraightAndCircular, KorvexFastSmallestPile, testing::Bool());

struct RejectedSetting {
    std::string name;
    std::function<void(KorvexConfiguration&)> change;
    std::string setting;  // must appear in the message
};

class KorvexFastRejects : public testing::TestWithParam<RejectedSetting> {};

TEST_P(KorvexFastRejects, ConfigurationWithAMessageNamingTheSetting) {
    auto configuration = pile(10.0f, 4.0f);
    GetParam().change(configuration);
    try {
        Fast simulator(configuration);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().setting), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, KorvexFastRejects,
    testing::Values(
        RejectedSetting{"LengthBelowHalfACell", [](auto& c) { c.length = 0.2f; }, "length"},
        RejectedSetting{"NegativeLength", [](auto& c) { c.length = -10.0f; }, "length"},
        RejectedSetting{"NaNLength", [](auto& c) { c.length = nanF; }, "length"},
        RejectedSetting{"DepthBelowHalfACell", [](auto& c) { c.depth = 0.2f; }, "depth"},
        RejectedSetting{"NoRowOfACircularPile",
                        [](auto& c) {
                            c.circular = true;
                            c.depth = 0.0f;
                        },
                        "depth"},
        RejectedSetting{"NaNProbability", [](auto& c) { c.eightNeighbourProbability = nanF; },
                        "eightNeighbourProbability"},
        RejectedSetting{"NoParticles", [](auto& c) { c.particlesPerCubicMeter = 0.0f; },
                        "particlesPerCubicMeter"}),
    [](const auto& info) { return info.param.name; });

class KorvexFastTooLarge : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(KorvexFastTooLarge, HeapMapOfTwoToThe32CellsIsALengthError) {
    EXPECT_THROW(Fast(pile(GetParam().first, GetParam().second)), std::length_error);
}

INSTANTIATE_TEST_SUITE_P(Extents, KorvexFastTooLarge,
                         testing::Values(std::pair{1e6f, 1e6f}, std::pair{3e9f, 1.0f}, std::pair{1.0f, 3e9f},
                                         std::pair{1e38f, 1e38f}));

class KorvexFastAcceptsAngle : public testing::TestWithParam<float> {};

TEST_P(KorvexFastAcceptsAngle, OutsideZeroToOneEighty) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = GetParam();
    EXPECT_NO_THROW(Fast{configuration});
}

INSTANTIATE_TEST_SUITE_P(Angles, KorvexFastAcceptsAngle, testing::Values(-30.0f, 270.0f, 1000.0f));

TEST(KorvexFastConstruction, ClearEmptiesColumnsSlicesAndRecordsButKeepsTheReclaimPosition) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.visualize = true;
    Fast simulator(configuration);
    simulator.stack(5.0f, 2.0f, material(1.3, {2.0}));
    simulator.reclaim(1.0f);
    ASSERT_EQ(simulator.settledRecords.size(), 10u);

    simulator.clear();
    EXPECT_EQ(totalCubes(simulator), 0);
    EXPECT_TRUE(bordersIntact(simulator));
    for (const auto& slice : simulator.slices) {
        EXPECT_EQ(slice.volume, 0.0);
        EXPECT_TRUE(slice.sums.empty());
    }
    EXPECT_TRUE(simulator.settledRecords.empty());
    EXPECT_TRUE(simulator.movingRecords.empty());
    EXPECT_EQ(simulator.lastReclaimPosition, 1.0f);
    EXPECT_NEAR(simulator.pendingMaterial.volume, 0.05, 1e-12);
}
