#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "fast/random_sources.h"
#include "fast_test_support.h"

using namespace korvex::testing_support;
using korvex::KorvexConfiguration;

namespace {

/// Index of the one slice that holds material; the slice count when none or several do.
std::size_t sliceHolding(const Fast& simulator) {
    std::size_t found = simulator.slices.size();
    for (std::size_t k = 0; k < simulator.slices.size(); ++k) {
        if (simulator.slices[k].volume > 0.0) {
            if (found != simulator.slices.size()) {
                return simulator.slices.size();
            }
            found = k;
        }
    }
    return found;
}

/// The neighbour table as (dc, dr), the edge neighbours first.
constexpr std::array<std::array<int, 2>, 8> table{
    {{-1, 0}, {0, -1}, {0, +1}, {+1, 0}, {-1, -1}, {-1, +1}, {+1, -1}, {+1, +1}}};

}  // namespace

class KorvexFastDescent : public testing::TestWithParam<std::uint32_t> {};

// Each step draws two engine outputs for the neighbourhood and one for the first neighbour examined, whose
// index is the top three bits of that output.
TEST_P(KorvexFastDescent, SecondParticleRollsToTheEdgeNeighbourExaminedFirst) {
    const std::uint32_t seed = GetParam();
    Fast simulator(pile(10.0f, 4.0f));
    korvex::seedFastRandomSources(seed);
    std::mt19937 reference(seed);

    simulator.dropParticle(5.0f, 2.0f, particle());
    EXPECT_EQ(simulator.columnCounts[11][5], 1);
    EXPECT_EQ(totalCubes(simulator), 1);
    reference.discard(3);  // one step that finds no lower neighbour
    EXPECT_EQ(korvex::fastRandomSources().engine, reference);

    reference.discard(2);
    const auto first = static_cast<int>((std::uint64_t{reference()} * 8) >> 32);
    const auto [dc, dr] = table[first % 4];
    simulator.dropParticle(5.0f, 2.0f, particle());
    EXPECT_EQ(simulator.columnCounts[11 + dc][5 + dr], 1);
    EXPECT_EQ(simulator.columnCounts[11][5], 1);
    EXPECT_EQ(totalCubes(simulator), 2);
    reference.discard(3);  // the step on the neighbour, which finds nothing lower
    EXPECT_EQ(korvex::fastRandomSources().engine, reference);
}

INSTANTIATE_TEST_SUITE_P(Seeds, KorvexFastDescent, testing::Values(1u, 2u, 3u, 5u, 42u, 2024u, 77777u, 123456789u));

class KorvexFastNeighbourhood : public testing::TestWithParam<std::tuple<float, std::uint32_t>> {};

TEST_P(KorvexFastNeighbourhood, DiagonalNeighboursAreExaminedOnlyWithTheirProbability) {
    const auto [probability, seed] = GetParam();
    auto configuration = pile(1.5f, 1.5f);
    configuration.eightNeighbourProbability = probability;
    Fast simulator(configuration);
    fillColumns(simulator, 5);
    simulator.columnCounts[3][3] = 0;
    korvex::seedFastRandomSources(seed);

    simulator.dropParticle(0.5f, 0.5f, particle());
    if (probability >= 1.0f) {
        EXPECT_EQ(simulator.columnCounts[3][3], 1);
        EXPECT_EQ(simulator.columnCounts[2][2], 5);
    } else {
        EXPECT_EQ(simulator.columnCounts[3][3], 0);
        EXPECT_EQ(simulator.columnCounts[2][2], 6);
    }
}

INSTANTIATE_TEST_SUITE_P(NeverAndAlways, KorvexFastNeighbourhood,
                         testing::Combine(testing::Values(0.0f, 1.0f), testing::Values(1u, 9u, 31u)));

struct Drop {
    float x;
    float z;
    std::uint32_t i;  // heap-map column it must land in
    std::uint32_t j;  // heap-map row
};

class KorvexFastClamping : public testing::TestWithParam<Drop> {};

TEST_P(KorvexFastClamping, DropPositionRoundsToTheNearestCellAndStaysOnThePile) {
    const Drop drop = GetParam();
    Fast simulator(pile(10.0f, 4.0f));
    fillColumns(simulator, 2);
    simulator.dropParticle(drop.x, drop.z, particle());
    EXPECT_EQ(simulator.columnCounts[drop.i + 1][drop.j + 1], 3);
    EXPECT_EQ(totalCubes(simulator), 2 * 20 * 8 + 1);
    EXPECT_TRUE(bordersIntact(simulator));
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KorvexFastClamping,
    testing::Values(Drop{0.26f, 0.24f, 1, 0}, Drop{9.7f, 3.7f, 19, 7}, Drop{9.8f, 0.2f, 19, 0},
                    Drop{-1e30f, -1e30f, 0, 0}, Drop{1e30f, 1e30f, 19, 7}, Drop{-0.2f, 100.0f, 0, 7},
                    Drop{infF, -infF, 19, 0}, Drop{nanF, 2.0f, 0, 4}, Drop{3.0f, nanF, 6, 0}));

struct StraightCase {
    float angle;
    std::uint32_t column;
    std::int32_t cubesBelow;
    std::size_t slice;
};

class KorvexFastStraightSlice : public testing::TestWithParam<StraightCase> {};

TEST_P(KorvexFastStraightSlice, FollowsTheInclinedReclaimFace) {
    const StraightCase place = GetParam();
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = place.angle;
    Fast simulator(configuration);
    fillColumns(simulator, place.cubesBelow);
    simulator.dropParticle(static_cast<float>(place.column) * 0.5f, 2.0f, particle());
    ASSERT_EQ(simulator.columnCounts[place.column + 1][5], place.cubesBelow + 1);
    EXPECT_EQ(sliceHolding(simulator), place.slice);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, KorvexFastStraightSlice,
    testing::Values(StraightCase{90.0f, 9, 3, 9}, StraightCase{89.995f, 9, 30, 9},
                    StraightCase{45.0f, 9, 3, 6}, StraightCase{45.0f, 9, 20, 0},
                    StraightCase{45.0f, 19, 0, 19}, StraightCase{60.0f, 9, 3, 7}, StraightCase{30.0f, 9, 3, 4},
                    StraightCase{0.0f, 9, 3, 0}, StraightCase{0.0f, 19, 0, 0}, StraightCase{-30.0f, 19, 3, 0},
                    StraightCase{180.0f, 9, 3, 19}, StraightCase{120.0f, 0, 0, 19},
                    // a face so flat that the cube is thousands of millions of columns behind
                    StraightCase{5.7e-8f, 9, 3, 0}));

struct CircularCase {
    float angle;
    std::uint32_t i;
    std::uint32_t j;
    std::int32_t cubesBelow;
    std::size_t slice;
};

class KorvexFastCircularSlice : public testing::TestWithParam<CircularCase> {};

// A 10 x 10 m pile has a centre line of 15.71 m in 31 slices; cells 0, 9 and 17 lie 4.25 m before, 0.25 m
// after and 4.25 m after the centre in both directions.
TEST_P(KorvexFastCircularSlice, FollowsTheCentreLineAndWrapsAround) {
    const CircularCase place = GetParam();
    auto configuration = pile(10.0f, 10.0f);
    configuration.circular = true;
    configuration.reclaimAngle = place.angle;
    Fast simulator(configuration);
    ASSERT_EQ(simulator.slices.size(), 31u);
    fillColumns(simulator, place.cubesBelow);
    simulator.dropParticle(static_cast<float>(place.i) * 0.5f, static_cast<float>(place.j) * 0.5f, particle());
    ASSERT_EQ(simulator.columnCounts[place.i + 1][place.j + 1], place.cubesBelow + 1);
    EXPECT_EQ(sliceHolding(simulator), place.slice);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KorvexFastCircularSlice,
    testing::Values(CircularCase{90.0f, 17, 9, 0, 15}, CircularCase{90.0f, 17, 8, 0, 16},
                    CircularCase{90.0f, 9, 17, 0, 8}, CircularCase{90.0f, 9, 9, 0, 12},
                    CircularCase{90.0f, 0, 9, 0, 0}, CircularCase{90.0f, 0, 8, 0, 0},
                    CircularCase{90.0f, 9, 0, 0, 23}, CircularCase{90.0f, 9, 9, 7, 12},
                    CircularCase{45.0f, 9, 9, 3, 9}, CircularCase{45.0f, 0, 9, 3, 29},
                    CircularCase{0.0f, 9, 9, 3, 12}, CircularCase{180.0f, 9, 9, 3, 12}));

TEST(KorvexFastRecords, OnePerPlacedParticleAtItsCubeInSettledRecords) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.visualize = true;
    Fast simulator(configuration);
    simulator.dropParticle(5.0f, 2.0f, particle(7.0));
    simulator.dropParticle(5.0f, 2.0f, particle(7.0));

    ASSERT_EQ(simulator.settledRecords.size(), 2u);
    EXPECT_TRUE(simulator.movingRecords.empty());
    const auto& first = *simulator.settledRecords[0];
    EXPECT_EQ(first.position, (std::array<double, 3>{5.25, 0.25, 2.25}));
    const auto& second = *simulator.settledRecords[1];
    EXPECT_EQ(std::abs(second.position[0] - 5.25) + std::abs(second.position[2] - 2.25), 0.5);
    EXPECT_EQ(second.position[1], 0.25);
    for (const auto* record : simulator.settledRecords) {
        EXPECT_TRUE(record->settled);
        EXPECT_EQ(record->material.volume, 0.125);
        EXPECT_EQ(record->material.averages(), std::vector<double>{7.0});
        EXPECT_EQ(record->dimensions, (std::array<double, 3>{0.475, 0.475, 0.475}));
        EXPECT_EQ(record->orientation, (std::array<double, 4>{0.0, 0.0, 1.0, 0.0}));
    }
}

TEST(KorvexFastRecords, NoneWithoutVisualize) {
    Fast simulator(pile(10.0f, 4.0f));
    simulator.stack(5.0f, 2.0f, material(1.0, {1.0}));
    EXPECT_TRUE(simulator.settledRecords.empty());
}

TEST(KorvexFastPlacement, FullColumnRefusesAnotherCubeAndChangesNothing) {
    Fast simulator(pile(0.5f, 0.5f));
    simulator.columnCounts[1][1] = border - 1;
    simulator.dropParticle(0.0f, 0.0f, particle());
    EXPECT_EQ(simulator.columnCounts[1][1], border);
    EXPECT_DOUBLE_EQ(simulator.slices[0].volume, 0.125);

    EXPECT_THROW(simulator.dropParticle(0.0f, 0.0f, particle()), std::overflow_error);
    EXPECT_EQ(simulator.columnCounts[1][1], border);
    EXPECT_DOUBLE_EQ(simulator.slices[0].volume, 0.125);
}

struct Run {
    bool circular;
    float angle;
    float eightNeighbourProbability;
};

class KorvexFastRun : public testing::TestWithParam<Run> {};

// Chunks of random size and quality at random positions, some off the pile: every particle is one cube
// and the slices hold exactly the volume and quality of what was cut into particles.
TEST_P(KorvexFastRun, ConservesVolumeAndQuality) {
    auto configuration = pile(12.0f, 6.0f);
    configuration.circular = GetParam().circular;
    configuration.reclaimAngle = GetParam().angle;
    configuration.eightNeighbourProbability = GetParam().eightNeighbourProbability;
    Fast simulator(configuration);
    korvex::seedFastRandomSources(11);
    std::mt19937 chunks(5);
    std::uniform_real_distribution<float> position(-2.0f, 14.0f);
    std::uniform_real_distribution<double> volume(0.0, 3.0);
    std::uniform_real_distribution<double> quality(0.0, 100.0);

    double stackedVolume = 0.0;
    double stackedQuality = 0.0;
    for (int k = 0; k < 300; ++k) {
        const double v = volume(chunks);
        const double q = quality(chunks);
        simulator.stack(position(chunks), position(chunks) / 2.0f, material(v, {q}));
        stackedVolume += v;
        stackedQuality += v * q;
    }

    const double placedVolume = stackedVolume - simulator.pendingMaterial.volume;
    const double placedQuality = stackedQuality - simulator.pendingMaterial.sums[0];
    EXPECT_NEAR(static_cast<double>(totalCubes(simulator)) * 0.125, placedVolume, 1e-9 * placedVolume);
    EXPECT_NEAR(totalSliceVolume(simulator), placedVolume, 1e-9 * placedVolume);
    double sliceQuality = 0.0;
    for (const auto& slice : simulator.slices) {
        sliceQuality += slice.sums.empty() ? 0.0 : slice.sums[0];
    }
    EXPECT_NEAR(sliceQuality, placedQuality, 1e-9 * placedQuality);
    EXPECT_TRUE(bordersIntact(simulator));
}

INSTANTIATE_TEST_SUITE_P(Piles, KorvexFastRun,
                         testing::Values(Run{false, 90.0f, 0.0f}, Run{false, 45.0f, 0.5f},
                                         Run{false, 30.0f, 1.0f}, Run{true, 90.0f, 0.0f},
                                         Run{true, 45.0f, 0.5f}, Run{true, 135.0f, 1.0f}));

class KorvexFastSlopes : public testing::TestWithParam<float> {};

// Drops everything on one spot of a pile too large for the cone to reach its edges.
TEST_P(KorvexFastSlopes, SettleToAFortyFiveDegreeAngleWhateverThePileSize) {
    const float eightNeighbourProbability = GetParam();
    auto configuration = pile(30.5f, 30.5f);
    configuration.eightNeighbourProbability = eightNeighbourProbability;
    Fast simulator(configuration);
    korvex::seedFastRandomSources(3);
    const std::size_t centre = 31;  // border-based index of the middle column and row

    int dropped = 0;
    for (int particles : {2000, 8000}) {
        for (; dropped < particles; ++dropped) {
            simulator.dropParticle(15.0f, 15.0f, particle());
        }
        // A cube stops only where no examined neighbour is lower, and the edge neighbours are always
        // examined (the diagonal ones too when every step examines eight): no such step exceeds one cube.
        const std::size_t span = eightNeighbourProbability >= 1.0f ? 8 : 4;
        for (std::size_t c = 1; c <= simulator.heapMapWidth; ++c) {
            for (std::size_t r = 1; r <= simulator.heapMapDepth; ++r) {
                for (std::size_t k = 0; k < span; ++k) {
                    const std::size_t nc = c + table[k][0];
                    const std::size_t nr = r + table[k][1];
                    if (nc >= 1 && nc <= simulator.heapMapWidth && nr >= 1 && nr <= simulator.heapMapDepth) {
                        ASSERT_LE(std::abs(simulator.columnCounts[c][r] - simulator.columnCounts[nc][nr]), 1);
                    }
                }
            }
        }
        // Along each axis the cone's height over its radius is its slope in cubes per cell.
        const int peak = simulator.columnCounts[centre][centre];
        std::size_t radius = 0;
        while (simulator.columnCounts[centre + radius][centre] > 0) {
            ++radius;
        }
        ASSERT_LT(radius, centre - 1) << "the cone reached the edge of the pile";
        const double slope = static_cast<double>(peak) / static_cast<double>(radius);
        EXPECT_GT(slope, 0.9) << particles << " particles";
        EXPECT_LE(slope, 1.0) << particles << " particles";
    }
}

INSTANTIATE_TEST_SUITE_P(Neighbourhoods, KorvexFastSlopes, testing::Values(0.0f, 0.5f, 1.0f));
