#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/settings.h"
#include "detailed/drop_randomness.h"
#include "detailed_world.h"

using namespace korvex::testing;
using korvex::KorvexConfiguration;

namespace {

// Boxes just under 0.1 m: less than a litre each, so no wait between drops.
KorvexConfiguration pileOfSmallBoxes() {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particlesPerCubicMeter = 1000.0f;
    configuration.dropHeight = 4.0f;
    return configuration;
}

TEST(DetailedDropping, FirstDropIsImmediateAndTheNextWaits267Steps) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particleVolumeFactor = 8.0f;  // 2 m boxes, 8000 ms apart
    Detailed simulator(configuration);

    simulator.dropParticle(5.0f, 5.0f, material(1.0, {7.0}));
    EXPECT_EQ(simulator.simulationTime(), 0u);
    ASSERT_EQ(simulator.particles().size(), 1u);
    EXPECT_EQ(simulator.particles().front().dropTime, 0u);
    EXPECT_EQ(simulator.movingParticles().front(), &simulator.particles().front());
    EXPECT_TRUE(simulator.particlesInMotion());
    EXPECT_EQ(simulator.nextDropTime(), 8000u);
    EXPECT_EQ(bodiesInWorld(simulator), 2u);

    simulator.dropParticle(5.0f, 5.0f, material(1.0, {7.0}));
    EXPECT_EQ(simulator.simulationTime(), 267u * 30u);
    EXPECT_EQ(simulator.particles().back().dropTime, 267u * 30u);
}

TEST(DetailedDropping, EveryDrawStaysInItsRange) {
    korvex::detail::seedDropRandomness(20240611u);
    Detailed simulator(pileOfSmallBoxes());
    const float x = 3.0f;
    const float z = 7.0f;
    for (int drop = 0; drop < 200; ++drop) {
        simulator.dropParticle(x, z, material(0.001, {1.0}));
    }
    EXPECT_EQ(simulator.simulationTime(), 0u);
    const float size = simulator.particleSize();
    const float jitter = simulator.dropDistributions().jitterBound;
    const float dropHeight = simulator.settings().dropHeight;

    float smallestEdge = size;
    float largestEdge = size;
    for (const DetailedParticle& particle : simulator.particles()) {
        EXPECT_EQ(particle.dropTime, 0u);
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_GE(particle.dimensions[axis], size - jitter);
            EXPECT_LE(particle.dimensions[axis], size + jitter);
            smallestEdge = std::min(smallestEdge, particle.dimensions[axis]);
            largestEdge = std::max(largestEdge, particle.dimensions[axis]);
        }
        const btVector3 centre = centreOf(particle);
        EXPECT_GE(centre.x(), x - 0.75f);
        EXPECT_LE(centre.x(), x + 0.75f);
        EXPECT_GE(centre.y(), dropHeight * 0.995f);
        EXPECT_LE(centre.y(), dropHeight * 1.005f);
        EXPECT_EQ(centre.z(), z - 5.0f);

        const btVector3 velocity = particle.body.body().getLinearVelocity();
        EXPECT_EQ(velocity.x(), 0.0f);
        EXPECT_GE(velocity.length(), 3.0f * 0.995f - 1e-5f);
        EXPECT_LE(velocity.length(), 3.0f * 1.005f + 1e-5f);
        EXPECT_NEAR(std::atan2(velocity.y(), velocity.z()), 0.34906587f, 0.0018f);  // 20 degrees up

        const btQuaternion rotation = particle.body.transform().getRotation();  // spun about z only
        EXPECT_NEAR(rotation.x(), 0.0f, 1e-6f);
        EXPECT_NEAR(rotation.y(), 0.0f, 1e-6f);
        EXPECT_NEAR(1.0f / particle.body.body().getInvMass(),
                    particle.dimensions.x() * particle.dimensions.y() * particle.dimensions.z(), 1e-9f);
    }
    // The jitter is really used.
    EXPECT_LT(smallestEdge, size - 0.8f * jitter);
    EXPECT_GT(largestEdge, size + 0.8f * jitter);
}

class DetailedDropFarOff : public ::testing::TestWithParam<std::pair<float, float>> {};

TEST_P(DetailedDropFarOff, IsHeldWithinTheBedsSizeAroundIt) {
    const auto [x, expectedX] = GetParam();
    Detailed simulator(pileOfMetreBoxes());  // 10 x 10 m
    simulator.dropParticle(x, -1e30f, material(1.0, {1.0}));
    const btVector3 centre = centreOf(simulator.particles().back());
    EXPECT_NEAR(centre.x(), expectedX, 0.75f);
    EXPECT_EQ(centre.z(), -10.0f - 5.0f);
}

INSTANTIATE_TEST_SUITE_P(Positions, DetailedDropFarOff,
                         ::testing::Values(std::pair{1e30f, 20.0f}, std::pair{-3e38f, -10.0f},
                                           std::pair{std::numeric_limits<float>::quiet_NaN(), 0.0f},
                                           std::pair{-9.0f, -9.0f}, std::pair{19.0f, 19.0f}));

TEST(DetailedDropping, SeedingRepeatsTheDraws) {
    auto dropThree = [](std::uint32_t seed) {
        korvex::detail::seedDropRandomness(seed);
        Detailed simulator(pileOfSmallBoxes());
        std::vector<float> drawn;
        for (int drop = 0; drop < 3; ++drop) {
            simulator.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));
            const DetailedParticle& dropped = simulator.particles().back();
            drawn.insert(drawn.end(),
                         {dropped.dimensions.x(), dropped.dimensions.z(), centreOf(dropped).x()});
        }
        return drawn;
    };
    EXPECT_EQ(dropThree(7u), dropThree(7u));
    EXPECT_NE(dropThree(7u), dropThree(8u));
}

// A simulator of larger boxes that drops after one of smaller boxes jitters its boxes by 5 % of its own
// size, not of the first simulator's.
TEST(DetailedDropping, EachSimulatorJittersByItsOwnParticleSize) {
    Detailed first(pileOfSmallBoxes());
    first.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));

    KorvexConfiguration larger = pileOfSmallBoxes();
    larger.particleVolumeFactor = 8.0f;
    Detailed second(larger);
    ASSERT_EQ(second.particleSize(), 2.0f * first.particleSize());
    EXPECT_EQ(second.dropDistributions().jitterBound, 0.05f * second.particleSize());
    float largestJitter = 0.0f;
    for (int drop = 0; drop < 50; ++drop) {
        second.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));
    }
    for (const DetailedParticle& particle : second.particles()) {
        for (int axis = 0; axis < 3; ++axis) {
            const float jitter = std::abs(particle.dimensions[axis] - second.particleSize());
            EXPECT_LE(jitter, second.dropDistributions().jitterBound * 1.0001f);
            largestJitter = std::max(largestJitter, jitter);
        }
    }
    EXPECT_GT(largestJitter, first.dropDistributions().jitterBound);
}

// A boom that follows the pile drops from a set height above its surface where the box starts and lands:
// the highest cell within one box of either point, plus one box. Boxes frozen in mid-air raise the heap map
// without any physics.
struct BoomCase {
    const char* name;
    std::optional<float> fallHeight;
    std::vector<std::array<float, 3>> frozenBoxes;  ///< centres
    float expectedStart;                            ///< before the height factor's 0.5 % either way
};

class DetailedBoom : public ::testing::TestWithParam<BoomCase> {};

TEST_P(DetailedBoom, StartsTheFallAboveThePile) {
    KorvexConfiguration configuration = pileOfMetreBoxes();  // dropHeight 2 m, 1 m boxes
    configuration.fallHeight = GetParam().fallHeight;
    Detailed simulator(configuration);
    for (const auto& [x, y, z] : GetParam().frozenBoxes) {
        placeSettled(simulator, x, y, z, material(1.0, {1.0}));
    }
    // Lands on x = 5 +- 0.75, z = 6, and starts at z = 1.
    simulator.dropParticle(5.0f, 6.0f, material(1.0, {1.0}));
    const float start = centreOf(simulator.particles().back()).y();
    const float expected = GetParam().expectedStart;
    const float fall = GetParam().fallHeight.value_or(0.0f);
    EXPECT_GE(start, expected - 0.005f * (GetParam().fallHeight ? fall : expected) - 1e-5f);
    EXPECT_LE(start, expected + 0.005f * (GetParam().fallHeight ? fall : expected) + 1e-5f);
    for (const auto& [x, y, z] : GetParam().frozenBoxes) {
        if (GetParam().fallHeight && std::abs(z - 6.0f) <= 1.0f) {
            EXPECT_GE(start, y + 1.0f) << "starts inside the pile";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Piles, DetailedBoom,
    ::testing::Values(
        BoomCase{"BareGround", 3.0f, {}, 1.0f + 3.0f},
        // A pile 9.5 m high, far above a fall of 3 m.
        BoomCase{"TallerThanTheFallUnderTheLanding", 3.0f, {{5.0f, 9.5f, 6.0f}}, 9.5f + 1.0f + 3.0f},
        BoomCase{"OneBoxAcross", 3.0f, {{5.0f, 9.5f, 7.0f}, {5.0f, 4.0f, 6.0f}}, 9.5f + 1.0f + 3.0f},
        BoomCase{"TwoBoxesAcrossDoesNotCount", 3.0f, {{5.0f, 9.5f, 8.0f}}, 1.0f + 3.0f},
        BoomCase{"UnderTheStart", 3.0f, {{5.0f, 9.5f, 1.0f}}, 9.5f + 1.0f + 3.0f},
        BoomCase{"NoFallFromTheSurface", 0.0f, {{5.0f, 9.5f, 6.0f}}, 9.5f + 1.0f},
        // Without a fall height the drop height is fixed above the ground, pile or no pile.
        BoomCase{"FixedDropHeight", std::nullopt, {{5.0f, 9.5f, 6.0f}}, 2.0f}),
    [](const ::testing::TestParamInfo<BoomCase>& info) { return std::string(info.param.name); });

struct DrawCase {
    std::uint32_t output;
    float expected;
};

class DetailedUniformDraw : public ::testing::TestWithParam<DrawCase> {};

// The top 24 bits of one generator output, scaled onto [0.995, 1.005).
TEST_P(DetailedUniformDraw, UsesTheTopTwentyFourBitsOfOneOutput) {
    EXPECT_EQ((korvex::detail::UniformFloat{0.995f, 1.005f}.fromOutput(GetParam().output)),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DetailedUniformDraw,
    ::testing::Values(DrawCase{0xFFu, 0.995f}, DrawCase{0x80000000u, 0.995f + (1.005f - 0.995f) * 0.5f},
                      DrawCase{0xFFFFFFFFu, 0.995f + (1.005f - 0.995f) * (1.0f - 0x1p-24f)}));

}  // namespace

namespace {

class DropHeightBound : public ::testing::TestWithParam<bool> {};

KorvexConfiguration droppingFrom(bool fromSurface, float height) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    if (fromSurface) {
        configuration.fallHeight = height;
    } else {
        configuration.dropHeight = height;
    }
    return configuration;
}

// From higher up a box would still be falling when the engine freezes it: 20 boxes of 1 m from 3000 m
// made a pile 1514 m high.
TEST_P(DropHeightBound, BoxesFromTheHighestDropComeToRestOnTheGroundAndHigherIsRefused) {
    const char* setting = GetParam() ? "fallHeight" : "dropHeight";
    try {
        Detailed refused(droppingFrom(GetParam(), 3000.0f));
        FAIL() << "a drop of 3000 m was accepted";
    } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(std::string(setting) + " of 3000 m"), std::string::npos) << message;
        EXPECT_NE(message.find("500 m"), std::string::npos) << message;
    }
    korvex::detail::seedDropRandomness(7u);
    Detailed simulator(droppingFrom(GetParam(), korvex::Limits::highestDropM));
    for (int drop = 0; drop < 20; ++drop) {
        simulator.stack(5.0f, 5.0f, material(1.0, {1.0}));
    }
    simulator.finishStacking();
    for (const DetailedParticle& particle : simulator.particles()) {
        EXPECT_LT(particle.settledCentre.y(), 5.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(DetailedDropping, DropHeightBound, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FallHeight" : "DropHeight"; });

}  // namespace
