// The detailed engine's benchmark scenes at the size of a unit test: what the benchmarks time, checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "buried_by_walk.h"
#include "core/reclaim_pile.h"
#include "detailed/drop_randomness.h"
#include "detailed_world.h"
#include "freezing_in_place.h"
#include "reclaim_walk.h"
#include "tests/scenes/detailed_scenes.h"

using namespace korvex::testing;
using korvex::AveragedParameters;

namespace {

TEST(DetailedRidgeScene, SlicesFromSortedCoordinatesAreThoseOfTheWalkOverThePile) {
    constexpr std::size_t particles = 700;
    Detailed simulator(korvex::scenes::ridgeBed(particles));
    korvex::scenes::settleRidge(simulator, particles);
    ASSERT_EQ(simulator.particles().size(), particles);
    const std::vector<float> positions = korvex::scenes::ridgeSlicePositions(simulator, 80);
    const std::vector<AveragedParameters> expected = slicesByWalkingThePile(simulator, positions);

    double volume = 0.0;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const AveragedParameters slice = simulator.reclaim(positions[k]);
        ASSERT_EQ(slice.volume, expected[k].volume) << "slice at " << positions[k];
        ASSERT_EQ(slice.sums, expected[k].sums) << "slice at " << positions[k];
        volume += slice.volume;
    }
    EXPECT_EQ(volume, static_cast<double>(particles));
    EXPECT_TRUE(simulator.reclaimingFinished());
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

// Filing resting particles by cell is bookkeeping only: a cone stacked high enough to bury its foot comes out
// the same, box for box, as one whose buried particles are found by a walk over the whole pile.
TEST(DetailedBuriedPass, CellsTakeOutWhatAWalkTakesOut) {
    constexpr std::size_t particles = 400;
    // Boxes of 1 m from a boom 3 m above the cone.
    korvex::KorvexConfiguration cone = korvex::scenes::stackerPassBed();
    cone.fallHeight = 3.0f;
    const auto stackCone = [&cone](bool byWalk) {
        korvex::detail::seedDropRandomness(11u);
        auto simulator = std::make_unique<Detailed>(cone);
        if (byWalk) {
            BuriedByWalk::use(*simulator);
        }
        for (std::size_t n = 0; n < particles; ++n) {
            simulator->stack(30.0f, 20.0f, AveragedParameters(1.0, std::vector<double>{1.0}));
        }
        simulator->finishStacking();
        return simulator;
    };
    const auto byCells = stackCone(false);
    const auto byWalk = stackCone(true);

    std::size_t buried = 0;
    auto walked = byWalk->particles().begin();
    for (const DetailedParticle& particle : byCells->particles()) {
        ASSERT_EQ(particle.inWorld(), walked->inWorld()) << "particle " << particle.dropIndex;
        ASSERT_EQ(particle.settledCentre, walked->settledCentre) << "particle " << particle.dropIndex;
        buried += particle.inWorld() ? 0 : 1;
        ++walked;
    }
    EXPECT_GT(buried, 10u);
    EXPECT_TRUE(std::equal(byCells->heights().begin(), byCells->heights().end(), byWalk->heights().begin()));
    EXPECT_EQ(bodiesInWorld(*byCells), particles + 1 - buried);
}

struct Freezing {
    const char* name;
    bool inPlace;
};

void PrintTo(const Freezing& freezing, std::ostream* out) { *out << freezing.name; }

class DetailedStackerPassScene : public ::testing::TestWithParam<Freezing> {};

TEST_P(DetailedStackerPassScene, SettlesEveryBoxUnderTheStackerAndReturnsThePileWhole) {
    constexpr std::size_t particles = 40;
    korvex::detail::seedDropRandomness(5u);
    Detailed simulator(korvex::scenes::stackerPassBed());
    if (GetParam().inPlace) {
        FreezingInPlace::use(simulator);
    }
    AveragedParameters stacked;
    korvex::scenes::stackerPass(simulator, particles, [&](std::size_t dropped) {
        ASSERT_EQ(simulator.particles().size(), dropped);
        stacked.add(simulator.particles().back().material);
    });
    simulator.finishStacking();
    EXPECT_TRUE(simulator.movingParticles().empty());

    // The boxes lie under the stacker's path, along its 40 m of travel near the centre line, give or take
    // how far a box thrown from 20 m may tumble.
    double raised = 0.0;
    for (std::uint32_t j = 0; j < simulator.heapMapRows(); ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapColumns(); ++i) {
            const float height = simulator.heights()[std::size_t{j} * simulator.heapMapColumns() + i];
            EXPECT_GE(height, 0.0f);
            if (height > 0.0f) {
                raised += 1.0;
                const float x = static_cast<float>(i) * simulator.particleSize();
                const float z = static_cast<float>(j) * simulator.particleSize();
                EXPECT_NEAR(x, korvex::scenes::stackerBedMargin + 0.5f * korvex::scenes::stackerTravel,
                            0.5f * korvex::scenes::stackerTravel + 8.0f);
                EXPECT_NEAR(z, 0.5f * korvex::scenes::stackerBedDepth, 8.0f);
            }
        }
    }
    EXPECT_GE(raised, 0.5 * particles);

    const auto slices = korvex::reclaimPile(simulator, 0.5f);
    AveragedParameters reclaimed;
    for (const auto& slice : slices) {
        reclaimed.add(slice.material);
    }
    EXPECT_DOUBLE_EQ(reclaimed.volume, static_cast<double>(particles));
    EXPECT_NEAR(reclaimed.averages().at(0), stacked.averages().at(0), 1e-12);
    EXPECT_EQ(bodiesInWorld(simulator), 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, DetailedStackerPassScene,
                         ::testing::Values(Freezing{"RejoinAsStatic", false}, Freezing{"InPlace", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
