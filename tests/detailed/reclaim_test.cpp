#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "detailed/drop_randomness.h"
#include "detailed/reclaim_geometry.h"
#include "detailed_world.h"

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
    const ReclaimGeometry reclaimGeometry(point.configuration);
    // The circle's 2 pi and the pi it divides by are single-precision constants.
    const double tolerance = point.configuration.circular ? 1e-7 * point.expected : 1e-12;
    EXPECT_NEAR(reclaimGeometry.coordinate(point.x, point.y, point.z), point.expected, tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, DetailedReclaimCoordinate,
    ::testing::Values(
        CoordinateCase{"face45", geometry(20, 10, 45, false), 10, 2, 3, 8},
        CoordinateCase{"vertical", geometry(20, 10, 90, false), 3.5, 7, 1, 3.5},
        CoordinateCase{"nearlyVertical", geometry(20, 10, 89.995f, false), 3.5, 7, 1, 3.5},
        CoordinateCase{"justNotVertical", geometry(20, 10, 89.99f, false), 10, 2,
                       1, 10 - 2 / std::tan(static_cast<double>(89.99f) * pi / 180)},
        CoordinateCase{"flat", geometry(20, 10, 0, false), 7, 2, 1, 0},
        CoordinateCase{"negative", geometry(20, 10, -45, false), 7, 2, 1, 0},
        CoordinateCase{"overhanging", geometry(20, 10, 120, false), 7, 2, 1, 20},
        CoordinateCase{"upsideDown", geometry(20, 10, 180, false), 7, 2, 1, 20},
        CoordinateCase{"circlePlusZ", geometry(100, 100, 90, true), 50, 3, 80, 12.5 * pi},
        CoordinateCase{"circlePlusX", geometry(100, 100, 90, true), 80, 3, 50, 25 * pi},
        CoordinateCase{"circleMinusZ", geometry(100, 100, 90, true), 50, 3, 20, 37.5 * pi},
        CoordinateCase{"circleSloped", geometry(100, 100, 45, true), 80, 2, 50, 25 * pi - 2},
        // the radius comes from the smaller extent
        CoordinateCase{"circleNarrow", geometry(100, 60, 90, true), 80, 3, 30, 15 * pi},
        CoordinateCase{"circleFlat", geometry(100, 100, 0, true), 80, 3, 50, 25 * pi}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DetailedReclaimCoordinate, VerticalWindowIsNarrowerThanAHundredthOfADegree) {
    EXPECT_EQ(ReclaimGeometry(geometry(10, 10, 89.991f, false)).slope(), 1e100);
    EXPECT_EQ(ReclaimGeometry(geometry(10, 10, 90.009f, false)).slope(), 1e100);
    EXPECT_LT(ReclaimGeometry(geometry(10, 10, 89.99f, false)).slope(), 1e10);
    EXPECT_LT(ReclaimGeometry(geometry(10, 10, 90.01f, false)).slope(), 0);
}

// A pile of boxes placed at rest without physics, reclaimed at the given positions.
class ReclaimedPile {
public:
    explicit ReclaimedPile(const KorvexConfiguration& configuration) : simulator(configuration) {}

    DetailedParticle& add(float x, float y, float z, double value) {
        return placeSettled(simulator, x, y, z, material(1.0, {value}));
    }

    Detailed simulator;
};

TEST(DetailedReclaim, EmptyPileIsFinishedAndYieldsNothing) {
    Detailed simulator(pileOfMetreBoxes());
    EXPECT_TRUE(simulator.reclaimingFinished());
    const AveragedParameters slice = simulator.reclaim(100.0f);
    EXPECT_EQ(slice.volume, 0.0);
    EXPECT_TRUE(slice.sums.empty());
}

TEST(DetailedReclaim, SliceTakesWhatLiesStrictlyBeforeItsPosition) {
    ReclaimedPile pile(pileOfMetreBoxes());
    pile.add(1.0f, 0.5f, 2.0f, 10.0);
    pile.add(-0.5f, 0.5f, 2.0f, 20.0);
    pile.add(0.0f, 0.5f, 2.0f, 30.0);
    pile.simulator.finishStacking();
    Detailed& simulator = pile.simulator;

    AveragedParameters slice = simulator.reclaim(0.0f);
    EXPECT_EQ(slice.volume, 1.0);
    EXPECT_EQ(slice.sums, std::vector<double>{20.0});

    slice = simulator.reclaim(1.0f);
    EXPECT_EQ(slice.sums, std::vector<double>{30.0});

    slice = simulator.reclaim(1.0f);
    EXPECT_EQ(slice.volume, 0.0);
    EXPECT_TRUE(slice.sums.empty());
    EXPECT_FALSE(simulator.reclaimingFinished());

    slice = simulator.reclaim(1.5f);
    EXPECT_EQ(slice.sums, std::vector<double>{10.0});
    EXPECT_TRUE(simulator.reclaimingFinished());
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

TEST(DetailedReclaim, FaceAt45DegreesCutsTheTopAhead) {
    ReclaimedPile pile(geometry(20, 10, 45, false));
    pile.add(10.0f, 2.0f, 3.0f, 1.0);
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(7.5f).volume, 0.0);
    EXPECT_EQ(pile.simulator.reclaim(8.5f).volume, 1.0);
}

struct WholePileAtOnce {
    float reclaimAngle;
    float lastEmptyPosition;
    float takingPosition;
};

class DetailedReclaimFlatFace : public ::testing::TestWithParam<WholePileAtOnce> {};

TEST_P(DetailedReclaimFlatFace, TakesTheWholePileInOneSlice) {
    ReclaimedPile pile(geometry(10, 10, GetParam().reclaimAngle, false));
    pile.add(-2.0f, 0.5f, 3.0f, 1.0);
    pile.add(4.0f, 3.5f, 3.0f, 2.0);
    pile.add(12.0f, 0.5f, 3.0f, 3.0);
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(GetParam().lastEmptyPosition).volume, 0.0);
    EXPECT_EQ(pile.simulator.reclaim(GetParam().takingPosition).volume, 3.0);
    EXPECT_TRUE(pile.simulator.reclaimingFinished());
}

INSTANTIATE_TEST_SUITE_P(Angles, DetailedReclaimFlatFace,
                         ::testing::Values(WholePileAtOnce{0.0f, 0.0f, 0.5f}, WholePileAtOnce{-90.0f, 0.0f, 0.5f},
                                           WholePileAtOnce{135.0f, 10.0f, 10.5f},
                                           WholePileAtOnce{180.0f, 10.0f, 10.5f}));

TEST(DetailedReclaim, LowerPositionAfterAHigherOneTakesNothing) {
    ReclaimedPile pile(pileOfMetreBoxes());
    for (int k = 0; k < 8; ++k) {
        pile.add(static_cast<float>(k), 0.5f, 4.0f, k);
    }
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(4.5f).volume, 5.0);
    EXPECT_EQ(pile.simulator.reclaim(2.0f).volume, 0.0);
    EXPECT_EQ(pile.simulator.reclaim(nan).volume, 0.0);
    EXPECT_EQ(pile.simulator.reclaim(6.5f).sums, std::vector<double>{5.0 + 6.0});
    EXPECT_EQ(pile.simulator.particles.size(), 1u);
}

class DetailedReclaimLostBody : public ::testing::TestWithParam<btVector3> {};

// A body the solver has flung out of reach still ends up in a slice, so reclaiming always ends.
TEST_P(DetailedReclaimLostBody, IsTakenByTheNextSliceWhateverItsPosition) {
    ReclaimedPile pile(pileOfMetreBoxes());
    pile.add(5.0f, 0.5f, 5.0f, 1.0);
    DetailedParticle& lost = pile.add(6.0f, 0.5f, 5.0f, 2.0);
    pile.simulator.finishStacking();
    moveCentre(lost, GetParam().x(), GetParam().y(), GetParam().z());

    const AveragedParameters first = pile.simulator.reclaim(-1e30f);
    EXPECT_EQ(first.sums, std::vector<double>{2.0});
    EXPECT_EQ(pile.simulator.reclaim(5.5f).sums, std::vector<double>{1.0});
    EXPECT_TRUE(pile.simulator.reclaimingFinished());
}

INSTANTIATE_TEST_SUITE_P(Centres, DetailedReclaimLostBody,
                         ::testing::Values(btVector3(nan, 0.5f, 5.0f), btVector3(infinity, 0.5f, 5.0f),
                                           btVector3(-infinity, 0.5f, 5.0f)));

TEST(DetailedReclaim, LostBodyOnASlopedFaceIsTakenFirstToo) {
    ReclaimedPile pile(geometry(10, 10, 60, true));
    DetailedParticle& lost = pile.add(6.0f, 0.5f, 5.0f, 2.0);
    pile.simulator.finishStacking();
    moveCentre(lost, 6.0f, nan, 5.0f);
    EXPECT_EQ(pile.simulator.reclaim(-1e30f).volume, 1.0);
}

TEST(DetailedReclaim, ParameterCountErrorLosesNoParticle) {
    ReclaimedPile pile(pileOfMetreBoxes());
    placeSettled(pile.simulator, 0.2f, 0.5f, 1.0f, material(1.0, {1.0}));
    placeSettled(pile.simulator, 0.4f, 0.5f, 1.0f, material(1.0, {1.0, 2.0}));
    pile.simulator.finishStacking();
    Detailed& simulator = pile.simulator;

    try {
        simulator.reclaim(1.0f);
        FAIL() << "mixed parameter counts were summed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "invalid parameter count");
    }
    EXPECT_EQ(simulator.particles.size(), 2u);
    EXPECT_EQ(bodiesInWorld(simulator), 3u);
    EXPECT_EQ(simulator.settledRecords.size(), 2u);

    EXPECT_EQ(simulator.reclaim(0.3f).sums, std::vector<double>{1.0});
    EXPECT_EQ(simulator.reclaim(1.0f).sums, (std::vector<double>{1.0, 2.0}));
    EXPECT_TRUE(simulator.reclaimingFinished());
}

TEST(DetailedReclaim, DestroyedParticlesLeaveNoRecordInTheQueues) {
    ReclaimedPile pile(pileOfMetreBoxes());
    pile.add(1.0f, 0.5f, 1.0f, 1.0);
    DetailedParticle& survivor = pile.add(8.0f, 0.5f, 1.0f, 2.0);
    pile.add(2.0f, 0.5f, 1.0f, 3.0);
    pile.simulator.finishStacking();
    ASSERT_EQ(pile.simulator.settledRecords.size(), 3u);

    pile.simulator.reclaim(5.0f);
    EXPECT_EQ(pile.simulator.settledRecords, std::deque<Detailed::Record*>{survivor.viewerRecord.get()});
    EXPECT_TRUE(pile.simulator.movingRecords.empty());
}

TEST(DetailedReclaim, MovingParticleIsDelistedWhenTaken) {
    Detailed simulator(pileOfMetreBoxes());
    placeSettled(simulator, 2.0f, 0.5f, 2.0f, material(1.0, {1.0}));
    placeParticle(simulator, 3.0f, 4.0f, 2.0f, material(1.0, {2.0}));
    simulator.simulateStep();
    ASSERT_EQ(simulator.movingRecords.size(), 1u);
    ASSERT_EQ(simulator.movingParticles.size(), 1u);

    EXPECT_EQ(simulator.reclaim(100.0f).volume, 2.0);
    EXPECT_TRUE(simulator.movingParticles.empty());
    EXPECT_TRUE(simulator.movingRecords.empty());
    EXPECT_TRUE(simulator.settledRecords.empty());
    simulator.finishStacking();
    EXPECT_FALSE(simulator.particlesInMotion.load());
}

TEST(DetailedReclaim, BuriedParticleIsCountedOnceAndHeightsStay) {
    ReclaimedPile pile(pileOfMetreBoxes());
    DetailedParticle& buried = pile.add(3.0f, 0.5f, 3.0f, 4.0);
    pile.add(3.0f, 9.5f, 3.0f, 6.0);
    ASSERT_EQ(pile.simulator.heightAt(3, 3), 9.5f);
    for (int step = 0; step < 100; ++step) {
        pile.simulator.simulateStep();
    }
    ASSERT_FALSE(buried.inWorld());

    const AveragedParameters slice = pile.simulator.reclaim(5.0f);
    EXPECT_EQ(slice.volume, 2.0);
    EXPECT_EQ(slice.sums, std::vector<double>{10.0});
    EXPECT_EQ(bodiesInWorld(pile.simulator), 1u);
    EXPECT_EQ(pile.simulator.heightAt(3, 3), 9.5f);
}

TEST(DetailedReclaim, ParticlesDroppedAfterASliceAreSeenByTheNext) {
    ReclaimedPile pile(pileOfMetreBoxes());
    pile.add(1.0f, 0.5f, 1.0f, 1.0);
    pile.add(5.0f, 0.5f, 1.0f, 2.0);
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(2.0f).sums, std::vector<double>{1.0});

    pile.add(0.5f, 0.5f, 1.0f, 4.0);
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(3.0f).sums, std::vector<double>{4.0});
    EXPECT_EQ(pile.simulator.reclaim(6.0f).sums, std::vector<double>{2.0});
}

TEST(DetailedReclaim, BoxDroppedAfterASliceStillLandsOnWhatIsLeft) {
    ReclaimedPile pile(pileOfMetreBoxes());
    pile.add(2.0f, 0.5f, 2.0f, 1.0);
    pile.add(5.0f, 0.5f, 5.0f, 1.0);
    pile.add(5.0f, 1.5f, 5.0f, 1.0);
    pile.simulator.finishStacking();
    EXPECT_EQ(pile.simulator.reclaim(3.0f).volume, 1.0);

    DetailedParticle& late =
        placeParticle(pile.simulator, 5.0f, 3.0f, 5.0f, material(1.0, {1.0}), btVector3(0.0f, -3.0f, 0.0f));
    pile.simulator.finishStacking();
    EXPECT_NEAR(centreOf(late).y(), 2.5f, 0.05f);
    EXPECT_NEAR(pile.simulator.heightAt(5, 5), 2.5f, 0.05f);
}

// The slices the pile should yield, walking every remaining particle in drop order.
std::vector<AveragedParameters> slicesByWalkingThePile(const Detailed& simulator, const std::vector<float>& positions) {
    const ReclaimGeometry reclaimGeometry(simulator.configuration);
    struct Remaining {
        double coordinate;
        AveragedParameters material;
        bool taken = false;
    };
    std::vector<Remaining> pile;
    for (const DetailedParticle& particle : simulator.particles) {
        const btVector3 centre = centreOf(particle);
        pile.push_back({reclaimGeometry.coordinate(centre.x(), centre.y(), centre.z()), particle.material});
    }
    std::vector<AveragedParameters> slices;
    for (float position : positions) {
        AveragedParameters slice;
        for (Remaining& particle : pile) {
            if (!particle.taken && particle.coordinate < position) {
                slice.add(particle.material);
                particle.taken = true;
            }
        }
        slices.push_back(slice);
    }
    return slices;
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
        const double volume = 0.5 + (k % 7) * 0.25;
        AveragedParameters particle(volume, std::vector<double>{value(generator), value(generator)});
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
    positions.insert(positions.begin() + 40, positions[20]);  // a step back: takes nothing
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
    const std::vector<double> averages = reclaimed.averages();
    const std::vector<double> stackedAverages = stacked.averages();
    ASSERT_EQ(averages.size(), 2u);
    for (std::size_t k = 0; k < averages.size(); ++k) {
        EXPECT_NEAR(averages[k], stackedAverages[k], 1e-12 * stackedAverages[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, DetailedReclaimWholePile,
                         ::testing::Values(geometry(10, 10, 90, false), geometry(10, 10, 45, false),
                                           geometry(10, 10, 10, false), geometry(10, 10, 0, false),
                                           geometry(10, 10, 135, false), geometry(10, 10, 90, true),
                                           geometry(12, 8, 30, true)));

// The full road: particles thrown onto the pile by the physics, settled, reclaimed.
TEST(DetailedReclaim, StackedPileIsReturnedWhole) {
    korvex::detail::seedDropRandomness(77u);
    KorvexConfiguration configuration = geometry(6, 4, 60, false);
    configuration.particlesPerCubicMeter = 125.0f;  // 8 litres per particle
    configuration.particleVolumeFactor = 0.25f;     // boxes of about 0.126 m
    configuration.dropHeight = 1.0f;
    Detailed simulator(configuration);

    AveragedParameters stacked;
    for (int chunk = 0; chunk < 20; ++chunk) {
        const AveragedParameters material(0.08, std::vector<double>{static_cast<double>(chunk), 50.0 - chunk});
        stacked.add(material);
        simulator.stack(1.0f + 0.2f * chunk, 3.0f, material);
    }
    // What is still pending, less than one particle, was never dropped.
    const AveragedParameters& pending = simulator.pendingMaterial;
    ASSERT_EQ(pending.sums.size(), 2u);
    const double droppedVolume = stacked.volume - pending.volume;
    const std::vector<double> droppedAverages{(stacked.sums[0] - pending.sums[0]) / droppedVolume,
                                              (stacked.sums[1] - pending.sums[1]) / droppedVolume};
    ASSERT_GT(simulator.particles.size(), 180u);

    simulator.finishStacking();
    AveragedParameters reclaimed;
    int slices = 0;
    for (float position = 0.0f; !simulator.reclaimingFinished(); position += 0.25f) {
        reclaimed.add(simulator.reclaim(position));
        ASSERT_LT(++slices, 1000);
    }
    EXPECT_NEAR(reclaimed.volume, droppedVolume, 1e-12);
    ASSERT_EQ(reclaimed.sums.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_NEAR(reclaimed.averages()[k], droppedAverages[k], 1e-9);
    }
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

}  // namespace
