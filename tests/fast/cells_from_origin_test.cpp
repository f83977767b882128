#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "fast_test_support.h"

// With cells spanning from the origin, a position lands in the cell that contains it and a cube goes to
// the slice its centre is reclaimed in: the geometry the korvex package asks for.

namespace {

using korvex::KorvexConfiguration;
using korvex::testing_support::Fast;
using korvex::testing_support::fillColumns;
using korvex::testing_support::particle;
using korvex::testing_support::pile;
using korvex::testing_support::sliceVolumes;

KorvexConfiguration fromOrigin(KorvexConfiguration configuration) {
    configuration.cellsFromOrigin = true;
    return configuration;
}

struct DropCase {
    float x;
    std::size_t slice;
};

class CellsFromOrigin : public ::testing::TestWithParam<DropCase> {};

// 0.5 m cells: 10.2 m lies in cell 20, which spans 10 to 10.5 m; 10.49 m too; 0 and 19.99 m in the first and
// last cells.
TEST_P(CellsFromOrigin, ADropLandsInTheCellThatContainsIt) {
    Fast simulator(fromOrigin(pile(20.0f, 4.0f)));
    fillColumns(simulator, 1);
    simulator.dropParticle(GetParam().x, 1.2f, particle());
    std::vector<double> expected(simulator.slices().size(), 0.0);
    expected[GetParam().slice] = 0.125;
    EXPECT_EQ(sliceVolumes(simulator), expected);
    EXPECT_EQ(simulator.columnCounts()[GetParam().slice + 1][3], 2);
}

INSTANTIATE_TEST_SUITE_P(Positions, CellsFromOrigin,
                         ::testing::Values(DropCase{10.2f, 20}, DropCase{10.49f, 20}, DropCase{0.0f, 0},
                                           DropCase{19.99f, 39}, DropCase{20.0f, 39}, DropCase{-3.0f, 0}));

TEST(CellsFromOrigin, AnInclinedFaceTakesACubeByItsCentre) {
    KorvexConfiguration configuration = fromOrigin(pile(20.0f, 4.0f));
    configuration.reclaimAngle = 60.0f;
    Fast simulator(configuration);
    fillColumns(simulator, 6);
    simulator.dropParticle(5.2f, 1.2f, particle());
    // The cube's centre stands 6.5 cells up, 10.5 cells along: a 60 degree face reaches it with its foot
    // 6.5 / tan(60) = 3.75 cells behind, at 6.75 cells, in slice 6. By the cube's base it would be slice 7.
    EXPECT_EQ(simulator.slices()[6].volume, 0.125);
}

TEST(CellsFromOrigin, AUniformRingFillsItsSlicesEvenly) {
    KorvexConfiguration configuration = fromOrigin(pile(40.0f, 40.0f));
    configuration.circular = true;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.reclaimAngle = 90.0f;
    Fast simulator(configuration);
    fillColumns(simulator, 5);
    // One particle on every cell of the ring of radius 10 m around the bed's centre.
    for (std::uint32_t i = 0; i < simulator.heapMapColumns(); ++i) {
        for (std::uint32_t j = 0; j < simulator.heapMapRows(); ++j) {
            const double radius = std::hypot(i + 0.5 - 20.0, j + 0.5 - 20.0);
            if (std::fabs(radius - 10.0) < 0.5) {
                simulator.dropParticle(static_cast<float>(i) + 0.5f, static_cast<float>(j) + 0.5f,
                                       korvex::testing_support::material(1.0, {1.0}));
            }
        }
    }
    const std::vector<double> volumes = sliceVolumes(simulator);
    const double mean = std::accumulate(volumes.begin(), volumes.end(), 0.0) / volumes.size();
    // A cell-wide ring is ragged, but neither the first slice nor the one before it takes a double share.
    EXPECT_GT(volumes.front(), 0.0);
    EXPECT_LT(volumes.front(), 1.6 * mean);
    EXPECT_LT(volumes.back(), 1.6 * mean);
}

TEST(CellsFromOrigin, OneAngleAtAnyRadiusIsOneSlice) {
    KorvexConfiguration configuration = fromOrigin(pile(40.0f, 40.0f));
    configuration.circular = true;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.reclaimAngle = 90.0f;
    Fast simulator(configuration);
    fillColumns(simulator, 5);
    // Cells on the ray at 225 degrees from the centre (20, 20), at radii 5 to 12 m.
    for (int k = 4; k <= 8; ++k) {
        simulator.dropParticle(20.0f - static_cast<float>(k) + 0.5f, 20.0f - static_cast<float>(k) + 0.5f,
                               korvex::testing_support::material(1.0, {1.0}));
    }
    const std::vector<double> volumes = sliceVolumes(simulator);
    EXPECT_EQ(std::count_if(volumes.begin(), volumes.end(), [](double v) { return v > 0.0; }), 1);
}

}  // namespace
