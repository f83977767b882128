#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "detailed_world.h"
#include "detailed/step_counter.h"

using namespace korvex::testing;
using korvex::KorvexConfiguration;

namespace {

struct BoxSizeCase {
    float particleVolumeFactor;
    float particlesPerCubicMeter;
    float length;
    float depth;
    std::uint64_t dropInterval;
};

class DetailedWorldSizes : public ::testing::TestWithParam<BoxSizeCase> {};

TEST_P(DetailedWorldSizes, FreshSimulatorDerivesItsSizesAndHoldsOnlyTheGround) {
    const BoxSizeCase& sizes = GetParam();
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particleVolumeFactor = sizes.particleVolumeFactor;
    configuration.particlesPerCubicMeter = sizes.particlesPerCubicMeter;
    configuration.length = sizes.length;
    configuration.depth = sizes.depth;
    Detailed simulator(configuration);

    const float size = simulator.particleSize;
    EXPECT_NEAR(std::pow(static_cast<double>(size), 3.0),
                sizes.particleVolumeFactor / sizes.particlesPerCubicMeter,
                1e-6 * sizes.particleVolumeFactor / sizes.particlesPerCubicMeter);
    EXPECT_EQ(simulator.inverseParticleSize, 1.0f / size);
    EXPECT_EQ(simulator.dropInterval, sizes.dropInterval);
    EXPECT_EQ(simulator.heapMapWidth, static_cast<std::uint32_t>(static_cast<int>(
                                          static_cast<double>(sizes.length / size) + 0.5) + 1));
    EXPECT_EQ(simulator.heapMapDepth, static_cast<std::uint32_t>(static_cast<int>(
                                          static_cast<double>(sizes.depth / size) + 0.5) + 1));
    for (std::uint32_t j = 0; j < simulator.heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < simulator.heapMapWidth; ++i) {
            ASSERT_EQ(simulator.heightAt(i, j), 0.0f);
        }
    }

    EXPECT_EQ(simulator.simulationTime, 0u);
    EXPECT_EQ(simulator.nextDropTime, 0u);
    EXPECT_TRUE(simulator.particles.empty());
    EXPECT_TRUE(simulator.movingParticles.empty());
    EXPECT_FALSE(simulator.particlesInMotion.load());
    EXPECT_TRUE(simulator.reclaimingFinished());
    ASSERT_EQ(bodiesInWorld(simulator), 1u);
    EXPECT_EQ(simulator.dynamicsWorld->getCollisionObjectArray()[0], &simulator.groundBody.body());
    EXPECT_EQ(simulator.dynamicsWorld->getGravity(), btVector3(0.0f, -9.80665f, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DetailedWorldSizes,
                         ::testing::Values(BoxSizeCase{8.0f, 1.0f, 10.0f, 6.0f, 8000},   // 2 m boxes
                                           BoxSizeCase{1.0f, 1.0f, 10.0f, 10.0f, 1000},  // 1 m boxes
                                           // just under 0.1 m: less than a litre, no wait at all
                                           BoxSizeCase{1.0f, 1000.0f, 3.0f, 2.0f, 0},
                                           BoxSizeCase{0.5f, 2.0f, 7.3f, 0.0f, 250}));

TEST(DetailedWorld, TwoMetreBoxesAreExactlyTwoMetresAndEightSecondsApart) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particleVolumeFactor = 8.0f;
    Detailed simulator(configuration);
    EXPECT_EQ(simulator.particleSize, 2.0f);
    EXPECT_EQ(simulator.dropInterval, 8000u);
}

TEST(DetailedWorld, GroundIsAStaticPlaneAtHeightZero) {
    Detailed simulator(pileOfMetreBoxes());
    const btRigidBody& ground = simulator.groundBody.body();
    EXPECT_TRUE(ground.isStaticObject());
    EXPECT_EQ(ground.getFriction(), 10.0f);
    const auto& plane = static_cast<const btStaticPlaneShape&>(*ground.getCollisionShape());
    const btVector3 pointOnPlane = ground.getWorldTransform() * (plane.getPlaneNormal() * plane.getPlaneConstant());
    EXPECT_EQ(pointOnPlane.y(), 0.0f);
    EXPECT_EQ(ground.getWorldTransform().getBasis() * plane.getPlaneNormal(), btVector3(0.0f, 1.0f, 0.0f));
}

struct BadSetting {
    const char* setting;
    void (*spoil)(KorvexConfiguration&);
};

class DetailedWorldRejects : public ::testing::TestWithParam<BadSetting> {};

TEST_P(DetailedWorldRejects, SettingNoPileOfBoxesCanUse) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    GetParam().spoil(configuration);
    try {
        Detailed simulator(configuration);
        FAIL() << "accepted a bad " << GetParam().setting;
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().setting), std::string::npos) << error.what();
    }
}

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    BadInput, DetailedWorldRejects,
    ::testing::Values(BadSetting{"particlesPerCubicMeter", [](auto& c) { c.particlesPerCubicMeter = 0.0f; }},
                      BadSetting{"particlesPerCubicMeter", [](auto& c) { c.particlesPerCubicMeter = -2.0f; }},
                      BadSetting{"length", [](auto& c) { c.length = nan; }},
                      BadSetting{"reclaimAngle", [](auto& c) { c.reclaimAngle = infinity; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = 0.0f; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = -1.0f; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = nan; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = infinity; }},
                      // the quotient underflows: no box size at all
                      BadSetting{"particleVolumeFactor",
                                 [](auto& c) {
                                     c.particleVolumeFactor = 1e-30f;
                                     c.particlesPerCubicMeter = 1e30f;
                                 }},
                      BadSetting{"dropHeight", [](auto& c) { c.dropHeight = nan; }},
                      BadSetting{"dropHeight", [](auto& c) { c.dropHeight = -infinity; }}));

TEST(DetailedWorld, HeapMapTooLargeForItsIndexIsRefused) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.length = 3e38f;
    EXPECT_THROW(Detailed simulator(configuration), std::length_error);
}

TEST(DetailedWorld, NegativeExtentStillGetsOneCell) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.length = -5.0f;
    Detailed simulator(configuration);
    EXPECT_EQ(simulator.heapMapWidth, 1u);
    DetailedParticle& particle = placeSettled(simulator, 3.0f, 0.5f, 2.0f, material(1.0, {1.0}));
    EXPECT_TRUE(particle.settled);
    EXPECT_EQ(simulator.heightAt(0, 2), 0.5f);
}

// A pile holding particles in every state: moving without a record, moving with one, settled but not
// yet retired, resting, and buried out of the world.
void fillWithParticlesInEveryState(Detailed& simulator) {
    DetailedParticle& resting = placeSettled(simulator, 2.0f, 0.5f, 2.0f, material(1.0, {1.0}));
    DetailedParticle& buried = placeSettled(simulator, 6.0f, 0.5f, 6.0f, material(1.0, {2.0}));
    simulator.heightAt(6, 6) = 10.0f;
    placeParticle(simulator, 4.0f, 3.0f, 4.0f, material(1.0, {3.0}));
    while (buried.inWorld()) {
        simulator.simulateStep();
    }
    DetailedParticle& notRetired = placeParticle(simulator, 8.0f, 0.5f, 8.0f, material(1.0, {4.0}));
    simulator.simulateStep();
    simulator.settleParticle(notRetired);
    placeParticle(simulator, 1.0f, 5.0f, 8.0f, material(1.0, {5.0}));

    ASSERT_TRUE(resting.settled && resting.inWorld() && resting.viewerRecord);
    ASSERT_EQ(simulator.particles.size(), 5u);
    ASSERT_EQ(simulator.movingParticles.size(), 3u);
    ASSERT_EQ(simulator.movingRecords.size(), 2u);
    ASSERT_EQ(simulator.settledRecords.size(), 2u);
    ASSERT_EQ(bodiesInWorld(simulator), 5u);
}

TEST(DetailedWorld, ClearEmptiesThePileAndCanBeRepeated) {
    Detailed simulator(pileOfMetreBoxes());
    fillWithParticlesInEveryState(simulator);

    for (int round = 0; round < 2; ++round) {
        simulator.clear();
        EXPECT_EQ(simulator.simulationTime, 0u);
        EXPECT_TRUE(simulator.particles.empty());
        EXPECT_TRUE(simulator.movingParticles.empty());
        EXPECT_TRUE(simulator.movingRecords.empty());
        EXPECT_TRUE(simulator.settledRecords.empty());
        EXPECT_TRUE(simulator.reclaimingFinished());
        ASSERT_EQ(bodiesInWorld(simulator), 1u);
        EXPECT_EQ(simulator.dynamicsWorld->getCollisionObjectArray()[0], &simulator.groundBody.body());
        for (std::uint32_t j = 0; j < simulator.heapMapDepth; ++j) {
            for (std::uint32_t i = 0; i < simulator.heapMapWidth; ++i) {
                ASSERT_EQ(simulator.heightAt(i, j), 0.0f);
            }
        }
    }

    // The first step after clear finds nothing moving any more.
    simulator.simulateStep();
    EXPECT_FALSE(simulator.particlesInMotion.load());
    EXPECT_EQ(simulator.reclaim(1e9f).volume, 0.0);
}

// The leak checker of the sanitizer build reports whatever destruction leaves behind.
TEST(DetailedWorld, DestroyingAPileInEveryStateReleasesIt) {
    auto simulator = std::make_unique<Detailed>(pileOfMetreBoxes());
    fillWithParticlesInEveryState(*simulator);
    simulator.reset();
}

}  // namespace
