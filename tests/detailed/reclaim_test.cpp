#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/reclaim_pile.h"
#include "detailed/drop_randomness.h"
#include "detailed/reclaim_geometry.h"
#include "detailed_world.h"
#include "reclaim_walk.h"

using namespace korvex::testing;
using korvex::AveragedParameters;
using korvex::KorvexConfiguration;
using korvex::ReclaimGeometry;

namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr double pi = std::numbers::pi;

KorvexConfiguration geometry(float length, float depth, float reclaimAngle, bool circular) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.length = length;
    configuration.depth = depth;
    configuration.reclaimAngle = reclaimAngle;
    configuration.circular = circular;
    return configuration;
}

struct CoordinateCase {
    const char* name;
    KorvexConfiguration configuration;
    double x;
    double y;
    double z;
    double expected;
};

class DetailedReclaimCoordinate : public ::testing::TestWithParam<CoordinateCase> {};

TEST_P(DetailedReclaimCoordinate, MatchesTheFaceGeometry) {
    const CoordinateCase& point = GetParam();
    // The circle's 2 pi and the pi it divides by are single-precision constants.
    const double tolerance = point.configuration.circular ? 1e-7 * point.expected : 1e-12;
    EXPECT_NEAR(ReclaimGeometry(point.configuration).coordinate(point.x, point.y, point.z), point.expected,
                tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, DetailedReclaimCoordinate,
    ::testing::Values(
        CoordinateCase{"face45", geometry(20, 10, 45, false), 10, 2, 3, 8},
        CoordinateCase{"vertical", geometry(20, 10, 90, false), 3.5, 7, 1, 3.5},
        CoordinateCase{"withinAHundredthOfVertical", geometry(20, 10, 90.009f, false), 3.5, 7, 1, 3.5},
        CoordinateCase{"aHundredthOffVertical", geometry(20, 10, 89.99f, false), 10, 2, 1,
                       10 - 2 / std::tan(static_cast<double>(89.99f) * pi / 180)},
        CoordinateCase{"flat", geometry(20, 10, 0, false), 7, 2, 1, 0},
        CoordinateCase{"negative", geometry(20, 10, -45, false), 7, 2, 1, 0},
        CoordinateCase{"overhanging", geometry(20, 10, 120, false), 7, 2, 1, 20},
        CoordinateCase{"upsideDown", geometry(20, 10, 180, false), 7, 2, 1, 20},
        CoordinateCase{"circlePlusZ", geometry(100, 100, 90, true), 50, 3, 80, 12.5 * pi},
        CoordinateCase{"circlePlusX", geometry(100, 100, 90, true), 80, 3, 50, 25 * pi},
        CoordinateCase{"circleMinusZ", geometry(100, 100, 90, true), 50, 3, 20, 37.5 * pi},
        CoordinateCase{"circleSloped", geometry(100, 100, 45, true), 80, 2, 50, 25 * pi - 2},
        CoordinateCase{"circleOfTheSmallerExtent", geometry(100, 60, 90, true), 80, 3, 30, 15 * pi}),
    [](const auto& info) { return std::string(info.param.name); });

// A pile of boxes frozen in place without physics.
class PlacedPile {
public:
    explicit PlacedPile(const KorvexConfiguration& configuration = pileOfMetreBoxes())
        : simulator(configuration) {}

    DetailedParticle& add(float x, float y, float z, std::vector<double> values) {
        return placeSettled(simulator, x, y, z, material(1.0, std::move(values)));
    }

    Detailed simulator;
};

TEST(DetailedReclaim, SliceTakesWhatLiesStrictlyBeforeItsPosition) {
    PlacedPile pile;
    Detailed& simulator = pile.simulator;
    EXPECT_TRUE(simulator.reclaim(0.0f).sums.empty());
    pile.add(1.0f, 0.5f, 2.0f, {10.0});
    pile.add(-0.5f, 0.5f, 2.0f, {20.0});
    pile.add(0.0f, 0.5f, 2.0f, {30.0});
    simulator.finishStacking();

    EXPECT_EQ(simulator.reclaim(0.0f).sums, std::vector<double>{20.0});
    EXPECT_EQ(simulator.reclaim(1.0f).sums, std::vector<double>{30.0});
    const AveragedParameters nothing = simulator.reclaim(1.0f);
    EXPECT_EQ(nothing.volume, 0.0);
    EXPECT_TRUE(nothing.sums.empty());
    EXPECT_EQ(simulator.reclaim(nan).volume, 0.0);
    EXPECT_FALSE(simulator.reclaimingFinished());
    EXPECT_EQ(simulator.reclaim(1.5f).sums, std::vector<double>{10.0});
    EXPECT_TRUE(simulator.reclaimingFinished());
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

TEST(DetailedReclaim, AStepTooSmallForWhereBoxesLieFailsBeforeTakingAny) {
    // The step suits a pile of 10 x 10 m, but a box lies 3 km along, where it no longer moves a float.
    PlacedPile pile;
    Detailed& simulator = pile.simulator;
    EXPECT_FALSE(korvex::reclaimStepProblem(1e-4, 40.0));
    pile.add(1.0f, 0.5f, 2.0f, {10.0});
    pile.add(3000.0f, 0.5f, 2.0f, {20.0});
    EXPECT_GE(simulator.reclaimReach(), 3000.0);
    EXPECT_THROW(korvex::reclaimPile(simulator, 1e-4f), std::invalid_argument);
    EXPECT_EQ(simulator.particles().size(), 2u);
    const auto slices = korvex::reclaimPile(simulator, 100.0f);
    double volume = 0.0;
    for (const auto& slice : slices) {
        volume += slice.material.volume;
    }
    EXPECT_EQ(volume, 2.0);
    EXPECT_TRUE(simulator.particles().empty());
}

class DetailedReclaimLostBody : public ::testing::TestWithParam<btVector3> {};

// A body the solver has flung out of reach still ends up in a slice, so reclaiming always ends.
TEST_P(DetailedReclaimLostBody, IsTakenByTheNextSliceWhateverItsPosition) {
    PlacedPile pile(geometry(10, 10, 60, false));
    pile.add(5.0f, 0.5f, 5.0f, {1.0});
    DetailedParticle& lost = placeParticle(pile.simulator, 6.0f, 0.5f, 5.0f, material(1.0, {2.0}));
    moveCentre(lost, GetParam().x(), GetParam().y(), GetParam().z());
    pile.simulator.settleParticle(lost);
    pile.simulator.finishStacking();

    EXPECT_EQ(pile.simulator.reclaim(-1e30f).sums, std::vector<double>{2.0});
    EXPECT_EQ(pile.simulator.reclaim(5.5f).sums, std::vector<double>{1.0});
    EXPECT_TRUE(pile.simulator.reclaimingFinished());
}

INSTANTIATE_TEST_SUITE_P(Centres, DetailedReclaimLostBody,
                         ::testing::Values(btVector3(nan, 0.5f, 5.0f), btVector3(infinity, 0.5f, 5.0f),
                                           btVector3(6.0f, -infinity, 5.0f)));

TEST(DetailedReclaim, ParameterCountErrorLosesNoParticle) {
    PlacedPile pile;
    pile.add(0.2f, 0.5f, 1.0f, {1.0});
    pile.add(0.4f, 0.5f, 1.0f, {1.0, 2.0});
    Detailed& simulator = pile.simulator;
    simulator.finishStacking();

    try {
        simulator.reclaim(1.0f);
        FAIL() << "mixed parameter counts were summed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "invalid parameter count");
    }
    EXPECT_EQ(simulator.particles().size(), 2u);
    EXPECT_EQ(bodiesInWorld(simulator), 3u);
    EXPECT_EQ(simulator.reclaim(0.3f).sums, std::vector<double>{1.0});
    EXPECT_EQ(simulator.reclaim(1.0f).sums, (std::vector<double>{1.0, 2.0}));
}

TEST(DetailedReclaim, NoQueueKeepsTheRecordOfATakenParticle) {
    PlacedPile pile;
    Detailed& simulator = pile.simulator;
    pile.add(1.0f, 0.5f, 1.0f, {1.0});
    DetailedParticle& survivor = pile.add(8.0f, 0.5f, 1.0f, {2.0});
    simulator.finishStacking();
    placeParticle(simulator, 3.0f, 4.0f, 2.0f, material(1.0, {3.0}));
    simulator.simulateStep();
    ASSERT_EQ(simulator.settledRecordList().size(), 2u);
    ASSERT_EQ(simulator.movingRecordList().size(), 1u);

    // Also a particle still moving is delisted, so that no later step reaches it.
    EXPECT_EQ(simulator.reclaim(5.0f).volume, 2.0);
    EXPECT_EQ(simulator.settledRecordList(), std::deque<Detailed::Record*>{survivor.viewerRecord.get()});
    EXPECT_TRUE(simulator.movingRecordList().empty());
    EXPECT_TRUE(simulator.movingParticles().empty());
    simulator.finishStacking();
    EXPECT_FALSE(simulator.particlesInMotion());
}

TEST(DetailedReclaim, EachSliceTakesTheRecordsOfItsParticlesAndNoOthers) {
    PlacedPile pile;
    Detailed& simulator = pile.simulator;
    std::vector<DetailedParticle*> placed;
    for (const float x : {6.5f, 1.5f, 8.5f, 3.5f, 0.5f, 4.5f}) {
        placed.push_back(&pile.add(x, 0.5f, 2.0f, {static_cast<double>(x)}));
    }
    simulator.finishStacking();
    std::vector<std::pair<float, Detailed::Record*>> records;
    for (DetailedParticle* particle : placed) {
        records.emplace_back(centreOf(*particle).x(), particle->viewerRecord.get());
    }
    ASSERT_EQ(simulator.settledRecordList().size(), records.size());

    for (const float position : {2.0f, 2.0f, 5.0f, 7.0f, 10.0f}) {
        simulator.reclaim(position);
        std::deque<Detailed::Record*> left;
        for (const auto& [x, record] : records) {
            if (x >= position) {
                left.push_back(record);
            }
        }
        std::deque<Detailed::Record*> queued = simulator.settledRecordList();
        std::sort(queued.begin(), queued.end());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(queued, left) << "after the slice at " << position;
        EXPECT_EQ(simulator.particles().size(), left.size());
    }
    EXPECT_TRUE(simulator.reclaimingFinished());
}

TEST(DetailedReclaim, BoxDroppedAfterASliceLandsOnWhatIsLeftAndGoesWithTheNext) {
    PlacedPile pile;
    pile.add(2.0f, 0.5f, 2.0f, {1.0});
    pile.add(5.0f, 0.5f, 5.0f, {2.0});
    pile.add(5.0f, 1.5f, 5.0f, {3.0});
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(3.0f).sums, std::vector<double>{1.0});

    DetailedParticle& late =
        placeParticle(pile.simulator, 5.0f, 3.0f, 5.0f, material(1.0, {4.0}), btVector3(0.0f, -3.0f, 0.0f));
    pile.simulator.finishStacking();
    EXPECT_NEAR(centreOf(late).y(), 2.5f, 0.05f);
    EXPECT_EQ(pile.simulator.reclaim(6.0f).sums, std::vector<double>{9.0});
}

class DetailedReclaimWholePile : public ::testing::TestWithParam<KorvexConfiguration> {};

// Whatever the shape and face, the slices are those of a walk over the pile in drop order, and
// together they return everything stacked.
TEST_P(DetailedReclaimWholePile, SlicesAddUpToThePile) {
    Detailed simulator(GetParam());
    std::mt19937 generator(1234u);
    std::uniform_real_distribution<float> along(-1.0f, 11.0f);
    std::uniform_real_distribution<float> up(0.0f, 4.0f);
    std::uniform_real_distribution<double> value(0.0, 100.0);
    AveragedParameters stacked;
    for (int k = 0; k < 300; ++k) {
        const AveragedParameters particle(0.5 + (k % 7) * 0.25,
                                          std::vector<double>{value(generator), value(generator)});
        stacked.add(particle);
        const float x = along(generator);
        const float y = up(generator);
        placeSettled(simulator, x, y, along(generator), particle);
    }
    simulator.finishStacking();

    std::vector<float> positions;
    for (float position = -30.0f; position < 80.0f; position += 0.37f) {
        positions.push_back(position);
    }
    positions.insert(positions.begin() + 40, positions[20]);  // a step back takes nothing
    const std::vector<AveragedParameters> expected = slicesByWalkingThePile(simulator, positions);

    AveragedParameters reclaimed;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const AveragedParameters slice = simulator.reclaim(positions[k]);
        ASSERT_EQ(slice.volume, expected[k].volume) << "slice at " << positions[k];
        ASSERT_EQ(slice.sums, expected[k].sums) << "slice at " << positions[k];
        reclaimed.add(slice);
    }
    EXPECT_TRUE(simulator.reclaimingFinished());
    EXPECT_NEAR(reclaimed.volume, stacked.volume, 1e-12 * stacked.volume);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_NEAR(reclaimed.averages().at(k), stacked.averages()[k], 1e-12 * stacked.averages()[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, DetailedReclaimWholePile,
                         ::testing::Values(geometry(10, 10, 90, false), geometry(10, 10, 45, false),
                                           geometry(10, 10, 0, false), geometry(10, 10, 135, false),
                                           geometry(10, 10, 90, true), geometry(12, 8, 30, true)));

// The full road: particles thrown onto the pile, settled by the physics, reclaimed.
TEST(DetailedReclaim, StackedPileIsReturnedWhole) {
    korvex::detail::seedDropRandomness(77u);
    KorvexConfiguration configuration = geometry(6, 4, 60, false);
    configuration.particlesPerCubicMeter = 125.0f;  // 8 litres per particle
    configuration.particleVolumeFactor = 0.25f;     // boxes of about 0.126 m
    configuration.dropHeight = 1.0f;
    Detailed simulator(configuration);

    AveragedParameters stacked;
    for (int chunk = 0; chunk < 20; ++chunk) {
        const AveragedParameters material(0.08,
                                          std::vector<double>{static_cast<double>(chunk), 50.0 - chunk});
        stacked.add(material);
        simulator.stack(1.0f + 0.2f * chunk, 3.0f, material);
    }
    ASSERT_GT(simulator.particles().size(), 180u);
    // What is still pending, less than one particle, was never dropped.
    const AveragedParameters& pending = simulator.pending();
    const double droppedVolume = stacked.volume - pending.volume;

    simulator.finishStacking();
    AveragedParameters reclaimed;
    for (float position = 0.0f; !simulator.reclaimingFinished(); position += 0.25f) {
        reclaimed.add(simulator.reclaim(position));
        ASSERT_LT(position, 1000.0f);
    }
    EXPECT_NEAR(reclaimed.volume, droppedVolume, 1e-12);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_NEAR(reclaimed.averages().at(k), (stacked.sums[k] - pending.sums[k]) / droppedVolume, 1e-9);
    }
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

}  // namespace
