#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "fast/random_sources.h"
#include "fast_test_support.h"
#include "tests/engine_access.h"

using namespace korvex::testing_support;
using korvex::KorvexConfiguration;

namespace {

/// Index of the one slice that holds material; the slice count when none or several do.
std::size_t sliceHolding(const Fast& simulator) {
    const auto volumes = sliceVolumes(simulator);
    const auto filled = std::count_if(volumes.begin(), volumes.end(), [](double v) { return v > 0.0; });
    if (filled != 1) {
        return volumes.size();
    }
    return static_cast<std::size_t>(
        std::find_if(volumes.begin(), volumes.end(), [](double v) { return v > 0.0; }) - volumes.begin());
}

constexpr std::array<std::array<int, 2>, 8> neighbourTable{
    {{-1, 0}, {0, -1}, {0, +1}, {+1, 0}, {-1, -1}, {-1, +1}, {+1, -1}, {+1, +1}}};

}  // namespace

class KorvexFastGrid : public testing::TestWithParam<std::tuple<bool, float, float, std::size_t>> {};

TEST_P(KorvexFastGrid, IsBorderedAndSlicedAlongThePileOrItsCentreLine) {
    const auto [circular, length, depth, slices] = GetParam();
    auto configuration = pile(length, depth);
    configuration.circular = circular;
    Fast simulator(configuration);
    EXPECT_EQ(simulator.cellSize(), 0.5f);
    const auto width = static_cast<std::uint32_t>(2 * length);
    const auto rows = static_cast<std::uint32_t>(2 * depth);
    EXPECT_EQ(simulator.heapMapColumns(), width);
    EXPECT_EQ(simulator.heapMapRows(), rows);
    EXPECT_EQ(simulator.columnCounts().columns(), width + 2);
    EXPECT_EQ(simulator.columnCounts().rows(), rows + 2);
    EXPECT_EQ(totalCubes(simulator), 0);
    EXPECT_EQ(simulator.slices().size(), slices);
    EXPECT_EQ(simulator.circleLength(), circular ? 4.0 * 1.5707963705062866 : 0.0);
}

INSTANTIATE_TEST_SUITE_P(Piles, KorvexFastGrid,
                         testing::Values(std::tuple{false, 10.0f, 4.0f, 20u}, std::tuple{true, 10.0f, 4.0f, 13u},
                                         std::tuple{true, 4.0f, 10.0f, 13u}));

class KorvexFastReclaimSlope : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(KorvexFastReclaimSlope, IsTheTangentOfTheAngleOrInfiniteNearVertical) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = GetParam().first;
    EXPECT_EQ(Fast(configuration).reclaimSlope(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Angles, KorvexFastReclaimSlope,
                         testing::Values(std::pair{90.0f, infF}, std::pair{89.995f, infF},
                                         std::pair{90.009f, infF}, std::pair{89.98f, 2865.2698f},
                                         std::pair{45.0f, 1.0f}, std::pair{30.0f, 0.57735026f},
                                         std::pair{0.0f, 0.0f}, std::pair{-45.0f, -1.0f}));

struct BadConfiguration {
    std::string name;
    std::function<void(KorvexConfiguration&)> change;
    std::string setting;  // named in the message
};

class KorvexFastRejects : public testing::TestWithParam<BadConfiguration> {};

TEST_P(KorvexFastRejects, ConfigurationNamingTheSetting) {
    auto configuration = pile(10.0f, 4.0f);
    GetParam().change(configuration);
    try {
        Fast simulator(configuration);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().setting), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, KorvexFastRejects,
    testing::Values(BadConfiguration{"ShortLength", [](auto& c) { c.length = 0.2f; }, "length"},
                    BadConfiguration{"NegativeLength", [](auto& c) { c.length = -10.0f; }, "length"},
                    BadConfiguration{"NaNLength", [](auto& c) { c.length = nanF; }, "length"},
                    BadConfiguration{"CircularWithoutDepth",
                                     [](auto& c) {
                                         c.circular = true;
                                         c.depth = 0.0f;
                                     },
                                     "depth"},
                    BadConfiguration{"NaNProbability", [](auto& c) { c.eightNeighbourProbability = nanF; },
                                     "eightNeighbourProbability"},
                    BadConfiguration{"NoParticles", [](auto& c) { c.particlesPerCubicMeter = 0.0f; },
                                     "particlesPerCubicMeter"}),
    [](const auto& info) { return info.param.name; });

class KorvexFastTooLarge : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(KorvexFastTooLarge, AGridBeyondTheCellLimitIsASettingsError) {
    EXPECT_THROW(Fast(pile(GetParam().first, GetParam().second)), korvex::SettingsError);
}

INSTANTIATE_TEST_SUITE_P(Extents, KorvexFastTooLarge,
                         testing::Values(std::pair{1e6f, 1e6f}, std::pair{3e9f, 1.0f}, std::pair{1e38f, 1e38f}));

class KorvexFastSmallestPile : public testing::TestWithParam<bool> {};

TEST_P(KorvexFastSmallestPile, HalfACellEachWayHoldsOneColumnAndSlice) {
    auto configuration = pile(0.25f, 0.25f);
    configuration.circular = GetParam();
    Fast simulator(configuration);
    ASSERT_EQ(simulator.slices().size(), 1u);
    for (int k = 0; k < 3; ++k) {
        simulator.dropParticle(1.0f, -1.0f, particle());
    }
    EXPECT_EQ(totalCubes(simulator), 3);
    EXPECT_DOUBLE_EQ(simulator.slices()[0].volume, 0.375);
}

INSTANTIATE_TEST_SUITE_P(StraightAndCircular, KorvexFastSmallestPile, testing::Bool());

class KorvexFastDescent : public testing::TestWithParam<std::uint32_t> {};

// Every step draws two engine outputs for the neighbourhood, then one whose top three bits pick the first
// neighbour examined; among equally low neighbours the first examined wins.
TEST_P(KorvexFastDescent, FirstParticleStaysAndSecondRollsToTheEdgeNeighbourExaminedFirst) {
    Fast simulator(pile(10.0f, 4.0f));
    korvex::seedFastRandomSources(GetParam());
    std::mt19937 reference(GetParam());

    simulator.dropParticle(5.0f, 2.0f, particle());
    EXPECT_EQ(simulator.columnCounts()[11][5], 1);
    reference.discard(3);
    EXPECT_EQ(korvex::fastRandomSources().engine, reference);

    reference.discard(2);
    const auto first = static_cast<int>((std::uint64_t{reference()} * 8) >> 32);
    const auto [dc, dr] = neighbourTable[first % 4];
    simulator.dropParticle(5.0f, 2.0f, particle());
    EXPECT_EQ(simulator.columnCounts()[11 + dc][5 + dr], 1);
    EXPECT_EQ(totalCubes(simulator), 2);
    reference.discard(3);  // the neighbour has nothing lower
    EXPECT_EQ(korvex::fastRandomSources().engine, reference);
}

INSTANTIATE_TEST_SUITE_P(Seeds, KorvexFastDescent, testing::Values(1u, 2u, 3u, 5u, 42u, 2024u, 123456789u));

class KorvexFastNeighbourhood : public testing::TestWithParam<std::tuple<float, std::uint32_t>> {};

TEST_P(KorvexFastNeighbourhood, ReachesADiagonalOnlyWhenStepsExamineEight) {
    const auto [probability, seed] = GetParam();
    auto configuration = pile(1.5f, 1.5f);
    configuration.eightNeighbourProbability = probability;
    Fast simulator(configuration);
    fillColumns(simulator, 5);
    korvex::testing::EngineAccess::columnCounts(simulator)[3][3] = 0;
    korvex::seedFastRandomSources(seed);
    simulator.dropParticle(0.5f, 0.5f, particle());
    EXPECT_EQ(simulator.columnCounts()[3][3], probability >= 1.0f ? 1 : 0);
    EXPECT_EQ(simulator.columnCounts()[2][2], probability >= 1.0f ? 5 : 6);
}

INSTANTIATE_TEST_SUITE_P(NeverAndAlways, KorvexFastNeighbourhood,
                         testing::Combine(testing::Values(0.0f, 1.0f), testing::Values(1u, 9u, 31u)));

class KorvexFastDropPosition : public testing::TestWithParam<std::tuple<float, float, std::size_t, std::size_t>> {};

TEST_P(KorvexFastDropPosition, RoundsToTheNearestCellAndIsClampedToThePile) {
    const auto [x, z, i, j] = GetParam();
    Fast simulator(pile(10.0f, 4.0f));
    fillColumns(simulator, 2);
    simulator.dropParticle(x, z, particle());
    EXPECT_EQ(simulator.columnCounts()[i + 1][j + 1], 3);
    EXPECT_EQ(totalCubes(simulator), 2 * 20 * 8 + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KorvexFastDropPosition,
    testing::Values(std::tuple{0.26f, 0.24f, 1u, 0u}, std::tuple{9.7f, 3.7f, 19u, 7u},
                    std::tuple{-1e30f, 1e30f, 0u, 7u}, std::tuple{infF, -infF, 19u, 0u},
                    std::tuple{nanF, 2.0f, 0u, 4u}, std::tuple{3.0f, nanF, 6u, 0u}));

// (reclaim angle, heap-map column, cubes below, slice) on a 20-column straight pile.
class KorvexFastStraightSlice : public testing::TestWithParam<std::tuple<float, std::uint32_t, int, std::size_t>> {};

TEST_P(KorvexFastStraightSlice, IsWhereTheInclinedFaceMeetsTheCube) {
    const auto [angle, column, cubesBelow, slice] = GetParam();
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = angle;
    Fast simulator(configuration);
    fillColumns(simulator, cubesBelow);
    simulator.dropParticle(static_cast<float>(column) * 0.5f, 2.0f, particle());
    ASSERT_EQ(simulator.columnCounts()[column + 1][5], cubesBelow + 1);
    EXPECT_EQ(sliceHolding(simulator), slice);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, KorvexFastStraightSlice,
    testing::Values(std::tuple{90.0f, 9u, 3, 9u}, std::tuple{89.995f, 9u, 30, 9u}, std::tuple{45.0f, 9u, 3, 6u},
                    std::tuple{45.0f, 9u, 20, 0u}, std::tuple{30.0f, 9u, 3, 4u}, std::tuple{0.0f, 19u, 0, 0u},
                    std::tuple{-30.0f, 19u, 3, 0u}, std::tuple{180.0f, 9u, 3, 19u}, std::tuple{120.0f, 0u, 0, 19u},
                    // a face so flat that the cube lies thousands of millions of columns behind it
                    std::tuple{5.7e-8f, 9u, 3, 0u}));

// (reclaim angle, heap-map column, row, cubes below, slice) on a 10 x 10 m pile, 31 slices along its centre
// line; columns and rows 0, 10 and 19 lie 5 m before, at and 4.5 m after its centre. The centre line starts
// at -x and runs through +z, +x and -z.
class KorvexFastCircularSlice
    : public testing::TestWithParam<std::tuple<float, std::uint32_t, std::uint32_t, int, std::size_t>> {};

TEST_P(KorvexFastCircularSlice, FollowsTheCentreLineAndWrapsAround) {
    const auto [angle, i, j, cubesBelow, slice] = GetParam();
    auto configuration = pile(10.0f, 10.0f);
    configuration.circular = true;
    configuration.reclaimAngle = angle;
    Fast simulator(configuration);
    fillColumns(simulator, cubesBelow);
    simulator.dropParticle(static_cast<float>(i) * 0.5f, static_cast<float>(j) * 0.5f, particle());
    ASSERT_EQ(simulator.columnCounts()[i + 1][j + 1], cubesBelow + 1);
    EXPECT_EQ(sliceHolding(simulator), slice);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KorvexFastCircularSlice,
    testing::Values(std::tuple{90.0f, 19u, 10u, 0, 16u}, std::tuple{90.0f, 10u, 19u, 0, 8u},
                    std::tuple{90.0f, 0u, 10u, 0, 0u}, std::tuple{90.0f, 10u, 0u, 0, 24u},
                    // just past -x from below: the end of the centre line, which wraps to its start
                    std::tuple{90.0f, 0u, 9u, 0, 0u}, std::tuple{90.0f, 19u, 9u, 7, 16u},
                    // 3 cubes up a 45 degree face: 1.5 m, three slices, earlier
                    std::tuple{45.0f, 10u, 19u, 3, 5u}, std::tuple{45.0f, 0u, 10u, 3, 29u},
                    std::tuple{0.0f, 10u, 19u, 3, 8u}, std::tuple{180.0f, 10u, 19u, 3, 8u}));

// Particles at one angle from the centre of the bed go into one slice whatever their distance from it and
// whatever the cell size: the reclaim face is radial. Beds of 20 x 20 cells, whose centre is cell 10.
class KorvexFastRadialFace : public testing::TestWithParam<std::tuple<float, int, int, std::size_t>> {};

TEST_P(KorvexFastRadialFace, TakesEveryRadiusOfOneAngleInOneSlice) {
    const auto [particlesPerCubicMeter, di, dj, slice] = GetParam();
    KorvexConfiguration configuration = pile(1.0f, 1.0f);
    configuration.particlesPerCubicMeter = particlesPerCubicMeter;
    const float cellSize = Fast(configuration).cellSize();
    configuration.length = configuration.depth = 20.0f * cellSize;
    configuration.circular = true;
    for (const int radius : {1, 2, 4, 8}) {
        Fast simulator(configuration);
        const float x = static_cast<float>(10 + di * radius) * simulator.cellSize();
        const float z = static_cast<float>(10 + dj * radius) * simulator.cellSize();
        simulator.dropParticle(x, z, particle());
        EXPECT_EQ(sliceHolding(simulator), slice) << "radius " << radius << " cells";
    }
}

INSTANTIATE_TEST_SUITE_P(CellSizes, KorvexFastRadialFace,
                         testing::Values(std::tuple{1.0f, 1, 0, 16u}, std::tuple{1.0f, 0, 1, 8u},
                                         std::tuple{8.0f, 1, 0, 16u}, std::tuple{8.0f, 0, 1, 8u},
                                         std::tuple{64.0f, 1, 0, 16u}, std::tuple{64.0f, 0, -1, 24u}));

TEST(KorvexFastRecords, OnePerParticleAtItsCubeUntilCleared) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.visualize = true;
    Fast simulator(configuration);
    simulator.dropParticle(5.0f, 2.0f, particle(7.0));
    simulator.dropParticle(5.0f, 2.0f, particle(7.0));
    ASSERT_EQ(simulator.settledRecordList().size(), 2u);
    EXPECT_EQ(simulator.settledRecordList()[0]->position, (std::array<double, 3>{5.25, 0.25, 2.25}));
    const auto& second = simulator.settledRecordList()[1]->position;
    EXPECT_EQ(std::abs(second[0] - 5.25) + std::abs(second[2] - 2.25), 0.5);
    EXPECT_EQ(second[1], 0.25);
    for (const auto* record : simulator.settledRecordList()) {
        EXPECT_TRUE(record->settled);
        EXPECT_EQ(record->material.averages(), std::vector<double>{7.0});
        EXPECT_EQ(record->dimensions, (std::array<double, 3>{0.475, 0.475, 0.475}));
        EXPECT_EQ(record->orientation, (std::array<double, 4>{0.0, 0.0, 1.0, 0.0}));
    }
    simulator.stack(1.0f, 1.0f, material(0.3, {1.0}));

    simulator.clear();
    EXPECT_TRUE(simulator.settledRecordList().empty());
    EXPECT_EQ(totalCubes(simulator), 0);
    simulator.reclaim(1.0f);
    EXPECT_EQ(sliceVolumes(simulator), std::vector<double>(20, 0.0));
    EXPECT_TRUE(simulator.slices()[10].sums.empty());
    EXPECT_EQ(simulator.lastReclaimPosition(), 1.0f);
    EXPECT_NEAR(simulator.pending().volume, 0.05, 1e-12);

    configuration.visualize = false;
    Fast quiet(configuration);
    quiet.dropParticle(5.0f, 2.0f, particle());
    EXPECT_TRUE(quiet.settledRecordList().empty());
}

TEST(KorvexFastDrop, FullColumnRefusesAnotherCubeAndChangesNothing) {
    Fast simulator(pile(0.5f, 0.5f));
    korvex::testing::EngineAccess::columnCounts(simulator)[1][1] = border - 1;
    simulator.dropParticle(0.0f, 0.0f, particle());
    EXPECT_EQ(simulator.columnCounts()[1][1], border);
    EXPECT_THROW(simulator.dropParticle(0.0f, 0.0f, particle()), std::overflow_error);
    EXPECT_EQ(simulator.columnCounts()[1][1], border);
    EXPECT_DOUBLE_EQ(simulator.slices()[0].volume, 0.125);
}

// (circular, reclaim angle, eight-neighbour probability)
class KorvexFastRun : public testing::TestWithParam<std::tuple<bool, float, float>> {};

// Chunks of random size and quality at random positions, some off the pile.
TEST_P(KorvexFastRun, SlicesHoldExactlyTheVolumeAndQualityPlaced) {
    auto configuration = pile(12.0f, 6.0f);
    std::tie(configuration.circular, configuration.reclaimAngle, configuration.eightNeighbourProbability) =
        GetParam();
    Fast simulator(configuration);
    korvex::seedFastRandomSources(11);
    std::mt19937 chunks(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double volume = 0.0;
    double quality = 0.0;
    for (int k = 0; k < 300; ++k) {
        const double v = 3.0 * unit(chunks);
        const double q = 100.0 * unit(chunks);
        simulator.stack(static_cast<float>(16.0 * unit(chunks) - 2.0), static_cast<float>(8.0 * unit(chunks) - 1.0),
                        material(v, {q}));
        volume += v;
        quality += v * q;
    }
    volume -= simulator.pending().volume;
    quality -= simulator.pending().sums[0];
    EXPECT_NEAR(static_cast<double>(totalCubes(simulator)) * 0.125, volume, 1e-9 * volume);
    double slicesVolume = 0.0;
    double slicesQuality = 0.0;
    for (const auto& slice : simulator.slices()) {
        slicesVolume += slice.volume;
        slicesQuality += slice.sums.empty() ? 0.0 : slice.sums[0];
    }
    EXPECT_NEAR(slicesVolume, volume, 1e-9 * volume);
    EXPECT_NEAR(slicesQuality, quality, 1e-9 * quality);
}

INSTANTIATE_TEST_SUITE_P(Piles, KorvexFastRun,
                         testing::Values(std::tuple{false, 90.0f, 0.0f}, std::tuple{false, 45.0f, 0.5f},
                                         std::tuple{false, 30.0f, 1.0f}, std::tuple{true, 90.0f, 0.0f},
                                         std::tuple{true, 45.0f, 0.5f}, std::tuple{true, 135.0f, 1.0f}));

class KorvexFastSlopes : public testing::TestWithParam<float> {};

// Everything dropped on one spot of a pile too large for the cone to reach its edges.
TEST_P(KorvexFastSlopes, SettleToFortyFiveDegreesWhateverThePileSize) {
    const float probability = GetParam();
    auto configuration = pile(30.5f, 30.5f);
    configuration.eightNeighbourProbability = probability;
    Fast simulator(configuration);
    korvex::seedFastRandomSources(3);
    const std::size_t centre = 31;
    const std::size_t examined = probability >= 1.0f ? 8 : 4;
    for (int dropped = 0; int particles : {2000, 8000}) {
        for (; dropped < particles; ++dropped) {
            simulator.dropParticle(15.0f, 15.0f, particle());
        }
        // A cube stops where no examined neighbour is lower, and the edge neighbours are always examined.
        for (std::size_t c = 2; c < simulator.heapMapColumns(); ++c) {
            for (std::size_t r = 2; r < simulator.heapMapRows(); ++r) {
                for (std::size_t k = 0; k < examined; ++k) {
                    const int step = simulator.columnCounts()[c][r] -
                                     simulator.columnCounts()[c + neighbourTable[k][0]][r + neighbourTable[k][1]];
                    ASSERT_LE(std::abs(step), 1) << particles << " particles at " << c << ", " << r;
                }
            }
        }
        std::size_t radius = 0;
        while (simulator.columnCounts()[centre + radius][centre] > 0) {
            ++radius;
        }
        ASSERT_LT(radius, centre - 1) << "the cone reached the edge";
        const double slope = simulator.columnCounts()[centre][centre] / static_cast<double>(radius);
        EXPECT_GT(slope, 0.9) << particles << " particles";
        EXPECT_LE(slope, 1.0) << particles << " particles";
    }
}

INSTANTIATE_TEST_SUITE_P(Neighbourhoods, KorvexFastSlopes, testing::Values(0.0f, 0.5f, 1.0f));
