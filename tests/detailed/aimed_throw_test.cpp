#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "detailed/drop_randomness.h"
#include "detailed_world.h"

// An aimed throw lands a pile where the stacker puts it: the crest of a ridge stacked along z = 8 m lies
// within one box of that line, whatever the drop height.

namespace {

using korvex::KorvexConfiguration;
using korvex::testing::Detailed;
using korvex::testing::material;

TEST(DetailedThrow, ReachIsTheDampedFlightDownToTheSurface) {
    EXPECT_EQ(korvex::throwReach(-1.0f), 0.0f);
    // Without damping a throw falling 10 m would reach 4.33 m; the world's damping takes a few per cent off.
    EXPECT_GT(korvex::throwReach(10.0f), 0.9f * 4.33f);
    EXPECT_LT(korvex::throwReach(10.0f), 4.33f);
    EXPECT_LT(korvex::throwReach(2.0f), korvex::throwReach(10.0f));
}

class AimedRidge : public ::testing::TestWithParam<float> {};

TEST_P(AimedRidge, CrestLiesOnThePlannedLine) {
    korvex::detail::seedDropRandomness(41u);
    KorvexConfiguration configuration = korvex::testing::pileOfMetreBoxes();
    configuration.length = 24.0f;
    configuration.depth = 16.0f;
    configuration.dropHeight = GetParam();
    configuration.cellsFromOrigin = true;
    configuration.aimedThrow = true;
    Detailed simulator(configuration);
    for (int pass = 0; pass < 6; ++pass) {
        for (int step = 0; step < 20; ++step) {
            const float x = 2.0f + static_cast<float>(pass % 2 ? 19 - step : step);
            simulator.stack(x, 8.0f, material(1.0, {1.0}));
        }
    }
    simulator.finishStacking();
    // The centroid across the bed of the middle of the ridge's height profile.
    double weighted = 0.0;
    double total = 0.0;
    for (std::uint32_t j = 0; j < simulator.heapMapRows(); ++j) {
        for (std::uint32_t i = 6; i < 18; ++i) {
            weighted += simulator.heightAt(i, j) * (j + 0.5);
            total += simulator.heightAt(i, j);
        }
    }
    ASSERT_GT(total, 0.0);
    EXPECT_NEAR(weighted / total, 8.0, simulator.particleSize());
}

INSTANTIATE_TEST_SUITE_P(DropHeights, AimedRidge, ::testing::Values(3.0f, 10.0f, 20.0f));

}  // namespace
