#include "fast/random_sources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench/frozen_descent.h"
#include "core/seeding.h"
#include "fast/descent.h"
#include "fast/korvex_fast.h"
#include "tests/scenes/bare_walk.h"
#include "tests/scenes/pile_figures.h"
#include "tests/scenes/stacker_scene.h"

using korvex::ColumnCounts;
using korvex::DescentEnd;
using korvex::FastRandomSources;
using korvex::SplitDrawSources;
using korvex::StepDraw;

namespace {

/// Pearson's statistic of observed counts against expected ones.
double chiSquare(const std::vector<double>& observed, const std::vector<double>& expected) {
    double statistic = 0.0;
    for (std::size_t k = 0; k < observed.size(); ++k) {
        statistic += (observed[k] - expected[k]) * (observed[k] - expected[k]) / expected[k];
    }
    return statistic;
}

// Upper 0.1 % points of the chi-square distribution: a sound source fails one such check in a thousand
// seeds, and the seeds here are fixed.
constexpr double chiSquare15DegreesAt999 = 37.697;
constexpr double chiSquare63DegreesAt999 = 103.442;

enum class Source { mersenneTwister, splitDraws };

std::string nameOf(Source source) { return source == Source::splitDraws ? "SplitDraws" : "MersenneTwister"; }

/// `count` steps' draws from a source of the kind given, started from `seed`.
std::vector<StepDraw> drawsOf(Source source, std::uint64_t seed, double eightNeighbourProbability,
                              std::size_t count) {
    std::vector<StepDraw> draws;
    draws.reserve(count);
    FastRandomSources mersenne{korvex::seededGenerator(seed)};
    SplitDrawSources split(seed);
    for (std::size_t n = 0; n < count; ++n) {
        draws.push_back(source == Source::splitDraws ? split.drawStep(eightNeighbourProbability)
                                                     : mersenne.drawStep(eightNeighbourProbability));
    }
    return draws;
}

}  // namespace

class StepDrawFrequencies : public testing::TestWithParam<std::tuple<Source, double, std::uint64_t>> {};

// Both decisions of a step together: the neighbourhood with its probability, the first neighbour uniform
// over the eight, the two independent of each other.
TEST_P(StepDrawFrequencies, NeighbourhoodAndFirstNeighbourHaveTheirProbabilitiesJointly) {
    const auto [source, probability, seed] = GetParam();
    constexpr std::size_t count = 1u << 20;
    std::vector<double> observed(16, 0.0);
    for (const StepDraw& draw : drawsOf(source, seed, probability, count)) {
        ASSERT_LT(draw.first, 8u);
        observed[8 * std::size_t{draw.eightNeighbours} + draw.first] += 1.0;
    }
    std::vector<double> expected(16);
    for (std::size_t k = 0; k < 16; ++k) {
        expected[k] = static_cast<double>(count) * (k >= 8 ? probability : 1.0 - probability) / 8.0;
    }
    EXPECT_LT(chiSquare(observed, expected), chiSquare15DegreesAt999);
}

// A step's first neighbour says nothing about the next step's.
TEST_P(StepDrawFrequencies, FirstNeighboursOfSuccessiveStepsAreIndependent) {
    const auto [source, probability, seed] = GetParam();
    constexpr std::size_t count = 1u << 20;
    const std::vector<StepDraw> draws = drawsOf(source, seed, probability, count + 1);
    std::vector<double> observed(64, 0.0);
    for (std::size_t n = 0; n < count; ++n) {
        observed[8 * draws[n].first + draws[n + 1].first] += 1.0;
    }
    const std::vector<double> expected(64, static_cast<double>(count) / 64.0);
    EXPECT_LT(chiSquare(observed, expected), chiSquare63DegreesAt999);
}

INSTANTIATE_TEST_SUITE_P(Sources, StepDrawFrequencies,
                         testing::Combine(testing::Values(Source::splitDraws, Source::mersenneTwister),
                                          testing::Values(0.5, 0.3, 0.9),
                                          testing::Values(std::uint64_t{1},
                                                          std::uint64_t{0x9e3779b97f4a7c15})),
                         [](const auto& info) {
                             return nameOf(std::get<0>(info.param)) + "_p" +
                                    std::to_string(static_cast<int>(std::get<1>(info.param) * 10)) + "_seed" +
                                    std::to_string(info.index % 2);
                         });

class StepDrawEdges : public testing::TestWithParam<Source> {};

// u lies in [0, 1): a probability of 1 examines eight neighbours on every step, one of 0 practically never.
TEST_P(StepDrawEdges, ProbabilityOneAlwaysExaminesEightAndZeroPracticallyNever) {
    std::size_t eightAtOne = 0;
    for (const StepDraw& draw : drawsOf(GetParam(), 3, 1.0, 4096)) {
        eightAtOne += draw.eightNeighbours;
    }
    std::size_t eightAtZero = 0;
    for (const StepDraw& draw : drawsOf(GetParam(), 3, 0.0, 4096)) {
        eightAtZero += draw.eightNeighbours;
    }
    EXPECT_EQ(eightAtOne, 4096u);
    EXPECT_EQ(eightAtZero, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sources, StepDrawEdges, testing::Values(Source::splitDraws, Source::mersenneTwister),
                         [](const auto& info) { return nameOf(info.param); });

TEST(SplitDrawSources, EqualSeedsRepeatAndNeighbouringSeedsDiffer) {
    SplitDrawSources first(41);
    SplitDrawSources again(41);
    SplitDrawSources next(42);
    int differing = 0;
    for (int n = 0; n < 64; ++n) {
        const std::uint64_t value = first.engine();
        EXPECT_EQ(value, again.engine());
        differing += value != next.engine();
    }
    EXPECT_EQ(differing, 64);
}

namespace {

/// The descent rule read step by step: examine `examined` table entries from `first` on, keep the first
/// strictly lowest. The reference the shared, reordered descent must follow for any source.
template <class Random>
DescentEnd referenceDescend(const std::int32_t* counts, const korvex::NeighbourOffsets& offsets,
                            std::ptrdiff_t cell, double eightNeighbourProbability, Random& random) {
    std::int32_t height = counts[cell];
    for (std::uint32_t steps = 1;; ++steps) {
        const StepDraw draw = random.drawStep(eightNeighbourProbability);
        const std::size_t examined = draw.eightNeighbours ? 8 : 4;
        std::ptrdiff_t lowest = cell;
        for (std::size_t t = 0; t < examined; ++t) {
            const std::ptrdiff_t neighbour = cell + offsets[(draw.first + t) % examined];
            if (counts[neighbour] < height) {
                height = counts[neighbour];
                lowest = neighbour;
            }
        }
        if (lowest == cell) {
            return {cell, height, steps};
        }
        cell = lowest;
    }
}

}  // namespace

class SharedDescent : public testing::TestWithParam<std::tuple<double, std::int32_t>> {};

// Rough ground of few distinct heights, so that most steps find several equally low neighbours: the
// shared descent stops where the rule read step by step stops, after as many steps and draws, whatever
// the source.
TEST_P(SharedDescent, FollowsTheRuleStepByStepOnGroundFullOfTies) {
    const auto [probability, heights] = GetParam();
    ColumnCounts counts(40, 30);
    korvex::clearBordered(counts);
    std::mt19937 ground(7);
    for (std::size_t c = 1; c + 1 < counts.columns(); ++c) {
        for (std::size_t r = 1; r + 1 < counts.rows(); ++r) {
            counts[c][r] = static_cast<std::int32_t>(ground() % static_cast<std::uint32_t>(heights)) +
                           static_cast<std::int32_t>(c + r) / 4;
        }
    }
    const korvex::NeighbourOffsets offsets = korvex::neighbourOffsetsOf(counts);
    const korvex::StepOrders orders = korvex::stepOrdersOf(offsets);
    SplitDrawSources split(5);
    SplitDrawSources splitReference(5);
    FastRandomSources mersenne{std::mt19937(5)};
    FastRandomSources mersenneReference{std::mt19937(5)};
    for (std::size_t c = 1; c + 1 < counts.columns(); ++c) {
        for (std::size_t r = 1; r + 1 < counts.rows(); ++r) {
            const auto start = static_cast<std::ptrdiff_t>(counts.indexOf(c, r));
            const DescentEnd shared = korvex::descend(counts.data(), orders, start, probability, split);
            const DescentEnd expected =
                referenceDescend(counts.data(), offsets, start, probability, splitReference);
            ASSERT_EQ(shared.cell, expected.cell) << c << ", " << r;
            ASSERT_EQ(shared.height, expected.height);
            ASSERT_EQ(shared.steps, expected.steps);
            const DescentEnd drawn = korvex::descend(counts.data(), orders, start, probability, mersenne);
            const DescentEnd reference =
                referenceDescend(counts.data(), offsets, start, probability, mersenneReference);
            ASSERT_EQ(drawn.cell, reference.cell) << c << ", " << r;
            ASSERT_EQ(drawn.steps, reference.steps);
        }
    }
    EXPECT_EQ(split.engine, splitReference.engine);
    EXPECT_EQ(mersenne.engine, mersenneReference.engine);
}

INSTANTIATE_TEST_SUITE_P(Ground, SharedDescent,
                         testing::Combine(testing::Values(0.0, 0.5, 1.0), testing::Values(2, 4)));

class FrozenDescent : public testing::TestWithParam<float> {};

// The module's simulators keep their draws exactly: on the stacker scene the shared descent with the
// process-wide sources places every cube where the descent as it stood before placed it, and leaves the
// engine where it left it.
TEST_P(FrozenDescent, SharedDescentWithTheModulesSourcesPlacesEveryCubeAsBefore) {
    korvex::scenes::StackerScene scene = korvex::scenes::tinyBed;
    scene.eightNeighbourProbability = GetParam();
    const auto drops = korvex::scenes::dropsOf(scene);
    const korvex::KorvexFast<korvex::AveragedParameters> shape(korvex::scenes::configurationOf(scene));
    ColumnCounts shared(shape.columnCounts().columns(), shape.columnCounts().rows());
    korvex::clearBordered(shared);
    ColumnCounts frozen = shared;

    korvex::seedFastRandomSources(23);
    const std::uint64_t sharedSteps = korvex::scenes::bareWalk(shared, drops, shape.cellSize(), GetParam());
    const std::mt19937 sharedEngine = korvex::fastRandomSources().engine;

    korvex::seedFastRandomSources(23);
    const korvex::NeighbourOffsets offsets = korvex::neighbourOffsetsOf(frozen);
    const double probability = GetParam();
    const std::uint64_t frozenSteps = korvex::scenes::walkDrops(
        frozen, drops, shape.cellSize(), [&](const std::int32_t* cells, std::ptrdiff_t start) {
            return korvex::bench::frozenDescend(cells, offsets, start, probability,
                                                korvex::fastRandomSources());
        });

    EXPECT_EQ(sharedSteps, frozenSteps);
    EXPECT_EQ(sharedEngine, korvex::fastRandomSources().engine);
    EXPECT_TRUE(std::equal(shared.data(), shared.data() + shared.columns() * shared.rows(), frozen.data()));
}

INSTANTIATE_TEST_SUITE_P(Neighbourhoods, FrozenDescent, testing::Values(0.0f, 0.5f, 1.0f));

// Piles stacked with split draws and with the module's draws, from eight seeds each, are the same piles in
// distribution: every figure's means differ by less than two runs of one kind typically differ (the root
// mean square of their difference, sqrt(2) times the larger standard deviation), as the benchmark sets
// them on the demo's bed.
TEST(SplitDrawPiles, MatchMersenneTwisterPilesInDistribution) {
    constexpr std::uint64_t seeds = 8;
    using korvex::scenes::DescentDraws;
    using korvex::scenes::PileFigures;
    // Each figure's runs, split draws first.
    std::array<std::array<std::vector<double>, 5>, 2> figures;
    for (const DescentDraws draws : {DescentDraws::splitDraws, DescentDraws::mersenneTwister}) {
        auto& runs = figures[draws == DescentDraws::splitDraws ? 0 : 1];
        for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
            const PileFigures pile =
                korvex::scenes::stackedPileFigures(korvex::scenes::tinyDemoBed, draws, seed);
            const std::array<double, 5> values{pile.heightMap.footprint, pile.heightMap.meanHeight,
                                               pile.heightMap.maxHeight, pile.heightMap.slope, pile.vrr};
            for (std::size_t k = 0; k < values.size(); ++k) {
                runs[k].push_back(values[k]);
            }
        }
    }
    const std::array<const char*, 5> names{"footprint", "mean height", "max height", "slope", "VRR"};
    for (std::size_t k = 0; k < names.size(); ++k) {
        const auto split = korvex::scenes::spreadOf(figures[0][k]);
        const auto mersenne = korvex::scenes::spreadOf(figures[1][k]);
        const double spread = std::sqrt(2.0) * std::max(split.sd, mersenne.sd);
        EXPECT_LE(std::fabs(split.mean - mersenne.mean), spread)
            << names[k] << ": " << split.mean << " against " << mersenne.mean;
        EXPECT_GT(split.mean, 0.0) << names[k];
    }
}
