#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "detailed/drop_randomness.h"
#include "detailed/step_counter.h"
#include "detailed_world.h"

using namespace korvex::testing;
using korvex::KorvexConfiguration;
using korvex::detail::UniformFloat;

namespace {

// Boxes of 2 m, dropped every 8000 simulated milliseconds.
KorvexConfiguration pileOfTwoMetreBoxes() {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particleVolumeFactor = 8.0f;
    return configuration;
}

// Boxes just under 0.1 m: less than a litre each, so no wait between drops.
KorvexConfiguration pileOfSmallBoxes() {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particlesPerCubicMeter = 1000.0f;
    configuration.dropHeight = 4.0f;
    return configuration;
}

TEST(DetailedDropping, FirstDropRunsNoStep) {
    Detailed simulator(pileOfTwoMetreBoxes());
    const int countBefore = korvex::detail::stepsSinceBuriedPass();
    simulator.dropParticle(5.0f, 5.0f, material(1.0, {7.0}));

    EXPECT_EQ(simulator.simulationTime, 0u);
    EXPECT_EQ(korvex::detail::stepsSinceBuriedPass(), countBefore);
    ASSERT_EQ(simulator.particles.size(), 1u);
    const DetailedParticle& particle = simulator.particles.front();
    EXPECT_EQ(particle.dropTime, 0u);
    EXPECT_FALSE(particle.settled);
    EXPECT_TRUE(particle.inWorld());
    EXPECT_EQ(particle.viewerRecord, nullptr);
    EXPECT_EQ(particle.material.sums, std::vector<double>{7.0});
    EXPECT_EQ(simulator.movingParticles, std::deque<DetailedParticle*>{&simulator.particles.front()});
    EXPECT_TRUE(simulator.particlesInMotion.load());
    EXPECT_EQ(simulator.nextDropTime, 8000u);
    EXPECT_EQ(bodiesInWorld(simulator), 2u);
}

TEST(DetailedDropping, DropsEightSecondsApartAre267StepsApart) {
    Detailed simulator(pileOfTwoMetreBoxes());
    simulator.dropParticle(5.0f, 5.0f, material(1.0, {1.0}));
    simulator.dropParticle(5.0f, 5.0f, material(1.0, {1.0}));

    EXPECT_EQ(simulator.simulationTime, 267u * 30u);
    ASSERT_EQ(simulator.particles.size(), 2u);
    EXPECT_EQ(simulator.particles.back().dropTime, 267u * 30u);
    EXPECT_EQ(simulator.nextDropTime, 267u * 30u + 8000u);
}

TEST(DetailedDropping, WithoutIntervalAStackDropsEveryParticleAtOnce) {
    Detailed simulator(pileOfSmallBoxes());
    ASSERT_EQ(simulator.dropInterval, 0u);
    simulator.stack(5.0f, 5.0f, material(0.0055, {2.0}));

    EXPECT_EQ(simulator.particles.size(), 5u);
    EXPECT_EQ(simulator.movingParticles.size(), 5u);
    EXPECT_EQ(simulator.simulationTime, 0u);
    for (const DetailedParticle& particle : simulator.particles) {
        EXPECT_EQ(particle.dropTime, 0u);
    }
}

TEST(DetailedDropping, EveryDrawStaysInItsRange) {
    korvex::detail::seedDropRandomness(20240611u);
    Detailed simulator(pileOfSmallBoxes());
    const float x = 3.0f;
    const float z = 7.0f;
    for (int drop = 0; drop < 200; ++drop) {
        simulator.dropParticle(x, z, material(0.001, {1.0}));
    }
    const float size = simulator.particleSize;
    const float jitter = korvex::detail::dropJitterBound().value();
    const float dropHeight = simulator.configuration.dropHeight;

    float smallestEdge = size;
    float largestEdge = size;
    for (const DetailedParticle& particle : simulator.particles) {
        for (int axis = 0; axis < 3; ++axis) {
            const float edge = particle.dimensions[axis];
            EXPECT_GE(edge, size - jitter);
            EXPECT_LE(edge, size + jitter);
            smallestEdge = std::min(smallestEdge, edge);
            largestEdge = std::max(largestEdge, edge);
        }
        const btVector3 centre = centreOf(particle);
        EXPECT_GE(centre.x(), x - 0.75f);
        EXPECT_LE(centre.x(), x + 0.75f);
        EXPECT_GE(centre.y(), dropHeight * 0.995f);
        EXPECT_LE(centre.y(), dropHeight * 1.005f);
        EXPECT_EQ(centre.z(), z - 5.0f);

        const btVector3 velocity = particle.body.body().getLinearVelocity();
        EXPECT_EQ(velocity.x(), 0.0f);
        EXPECT_GT(velocity.y(), 0.0f);
        EXPECT_GT(velocity.z(), 0.0f);
        EXPECT_GE(velocity.length(), 3.0f * 0.995f - 1e-5f);
        EXPECT_LE(velocity.length(), 3.0f * 1.005f + 1e-5f);
        // roughly 20 degrees up, scaled by at most half a percent
        EXPECT_NEAR(std::atan2(velocity.y(), velocity.z()), 0.34906587f, 0.0018f);

        // spun about z only
        const btQuaternion rotation = particle.body.transform().getRotation();
        EXPECT_NEAR(rotation.x(), 0.0f, 1e-6f);
        EXPECT_NEAR(rotation.y(), 0.0f, 1e-6f);

        const float mass = 1.0f / particle.body.body().getInvMass();
        EXPECT_NEAR(mass, particle.dimensions.x() * particle.dimensions.y() * particle.dimensions.z(), 1e-9f);
    }
    // The jitter is really used: the edges spread over most of their range.
    EXPECT_LT(smallestEdge, size - 0.8f * jitter);
    EXPECT_GT(largestEdge, size + 0.8f * jitter);
}

TEST(DetailedDropping, SeedingRepeatsTheDraws) {
    auto dropThree = [](std::uint32_t seed) {
        korvex::detail::seedDropRandomness(seed);
        Detailed simulator(pileOfSmallBoxes());
        std::vector<float> drawn;
        for (int drop = 0; drop < 3; ++drop) {
            simulator.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));
            const DetailedParticle& dropped = simulator.particles.back();
            const btVector3 centre = centreOf(dropped);
            drawn.insert(drawn.end(), {dropped.dimensions.x(), dropped.dimensions.y(), dropped.dimensions.z(),
                                       centre.x(), centre.y()});
        }
        return drawn;
    };
    EXPECT_EQ(dropThree(7u), dropThree(7u));
    EXPECT_NE(dropThree(7u), dropThree(8u));
}

TEST(DetailedDropping, JitterBoundIsFixedByTheFirstSimulatorThatDrops) {
    const auto before = korvex::detail::dropJitterBound();
    Detailed first(pileOfSmallBoxes());
    first.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));
    const float jitter = korvex::detail::dropJitterBound().value();
    EXPECT_EQ(jitter, before ? *before : 0.05f * first.particleSize);

    // Boxes twice as large draw from the same bound.
    KorvexConfiguration larger = pileOfSmallBoxes();
    larger.particleVolumeFactor = 8.0f;
    Detailed second(larger);
    ASSERT_EQ(second.particleSize, 2.0f * first.particleSize);
    for (int drop = 0; drop < 50; ++drop) {
        second.dropParticle(1.0f, 1.0f, material(0.001, {1.0}));
    }
    EXPECT_EQ(korvex::detail::dropJitterBound(), jitter);
    for (const DetailedParticle& particle : second.particles) {
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_GE(particle.dimensions[axis], second.particleSize - jitter);
            EXPECT_LE(particle.dimensions[axis], second.particleSize + jitter);
        }
    }
}

TEST(DetailedDropping, PausedSimulatorDropsAtOnceWhenNoWaitIsDue) {
    Detailed simulator(pileOfTwoMetreBoxes());
    simulator.pause();
    simulator.dropParticle(5.0f, 5.0f, material(1.0, {1.0}));
    EXPECT_EQ(simulator.particles.size(), 1u);
    EXPECT_EQ(simulator.simulationTime, 0u);
}

struct DrawCase {
    std::uint32_t output;
    float expected;
};

class DetailedUniformDraw : public ::testing::TestWithParam<DrawCase> {};

// One generator output, its top 24 bits, scaled onto [0.995, 1.005).
TEST_P(DetailedUniformDraw, UsesTheTopTwentyFourBitsOfOneOutput) {
    const UniformFloat factor{0.995f, 1.005f};
    EXPECT_EQ(factor.fromOutput(GetParam().output), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DetailedUniformDraw,
    ::testing::Values(DrawCase{0u, 0.995f}, DrawCase{0xFFu, 0.995f},  // the low byte is dropped
                      DrawCase{0x80000000u, 0.995f + (1.005f - 0.995f) * 0.5f},
                      DrawCase{0x100u, 0.995f + (1.005f - 0.995f) * 0x1p-24f},
                      DrawCase{0xFFFFFFFFu, 0.995f + (1.005f - 0.995f) * (1.0f - 0x1p-24f)}));

TEST(DetailedUniformDraw, EachDrawTakesExactlyOneOutput) {
    std::mt19937 drawn(99u);
    std::mt19937 reference(99u);
    const UniformFloat angle{0.0f, 6.2831855f};
    for (int draw = 0; draw < 10; ++draw) {
        EXPECT_EQ(angle(drawn), angle.fromOutput(static_cast<std::uint32_t>(reference())));
    }
}

}  // namespace
