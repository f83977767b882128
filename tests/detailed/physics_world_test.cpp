#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "detailed_world.h"
#include "tests/engine_access.h"

using namespace korvex::testing;
using korvex::KorvexConfiguration;

namespace {

struct BoxSizeCase {
    float particleVolumeFactor;
    float particlesPerCubicMeter;
    float expectedSize;
    std::uint64_t dropInterval;
};

class DetailedWorldSizes : public ::testing::TestWithParam<BoxSizeCase> {};

TEST_P(DetailedWorldSizes, FreshSimulatorDerivesItsSizesAndHoldsOnlyTheGround) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.particleVolumeFactor = GetParam().particleVolumeFactor;
    configuration.particlesPerCubicMeter = GetParam().particlesPerCubicMeter;
    configuration.length = 7.3f;
    configuration.depth = 4.0f;
    Detailed simulator(configuration);

    const float size = simulator.particleSize();
    EXPECT_NEAR(size, GetParam().expectedSize, 1e-6f);
    EXPECT_EQ(simulator.dropInterval(), GetParam().dropInterval);
    EXPECT_EQ(simulator.heapMapColumns(),
              static_cast<std::uint32_t>(static_cast<double>(7.3f / size) + 0.5) + 1);
    EXPECT_EQ(simulator.heapMapRows(), static_cast<std::uint32_t>(static_cast<double>(4.0f / size) + 0.5) + 1);
    for (std::uint32_t k = 0; k < simulator.heapMapColumns() * simulator.heapMapRows(); ++k) {
        ASSERT_EQ(simulator.heights()[k], 0.0f);
    }
    EXPECT_TRUE(simulator.reclaimingFinished());
    ASSERT_EQ(bodiesInWorld(simulator), 1u);
    EXPECT_EQ(simulator.dynamicsWorld().getCollisionObjectArray()[0], &simulator.groundBody().body());
    EXPECT_EQ(simulator.dynamicsWorld().getGravity(), btVector3(0.0f, -9.80665f, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DetailedWorldSizes,
                         ::testing::Values(BoxSizeCase{8.0f, 1.0f, 2.0f, 8000},
                                           BoxSizeCase{1.0f, 1.0f, 1.0f, 1000},
                                           // 27000 ms, but every earlier box is frozen after 25000
                                           BoxSizeCase{27.0f, 1.0f, 3.0f, 25030},
                                           // less than a litre: no wait between drops
                                           BoxSizeCase{1.0f, 1000.0f, 0.1f, 0}));

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
                      BadSetting{"length", [](auto& c) { c.length = nan; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = -1.0f; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = nan; }},
                      BadSetting{"particleVolumeFactor", [](auto& c) { c.particleVolumeFactor = infinity; }},
                      // the quotient underflows: no box size at all
                      BadSetting{"particleVolumeFactor",
                                 [](auto& c) {
                                     c.particleVolumeFactor = 1e-30f;
                                     c.particlesPerCubicMeter = 1e30f;
                                 }},
                      BadSetting{"dropHeight", [](auto& c) { c.dropHeight = -infinity; }},
                      // 1 mm boxes: below the physics' contact tolerances
                      BadSetting{"below the 0.05", [](auto& c) { c.particlesPerCubicMeter = 1e9f; }},
                      // a box wider than the bed; a huge one would also wait 2^64 ms between drops
                      BadSetting{"shorter side", [](auto& c) { c.particleVolumeFactor = 1e30f; }},
                      BadSetting{"shorter side", [](auto& c) { c.depth = 0.5f; }},
                      BadSetting{"shorter side", [](auto& c) { c.length = -5.0f; }},
                      // 1 m boxes 20 km out, where single precision steps by 2 m
                      BadSetting{"single precision", [](auto& c) { c.length = 1e7f; }},
                      BadSetting{"fallHeight", [](auto& c) { c.fallHeight = -0.5f; }},
                      BadSetting{"fallHeight", [](auto& c) { c.fallHeight = nan; }},
                      BadSetting{"fallHeight", [](auto& c) { c.fallHeight = infinity; }}));

TEST(DetailedWorld, HeapMapStaysIndexable) {
    KorvexConfiguration configuration = pileOfMetreBoxes();
    configuration.length = 3e38f;
    EXPECT_THROW(Detailed simulator(configuration), korvex::SettingsError);

    // A bed one box long has two cells; a box beyond it raises the last.
    configuration.length = 1.0f;
    Detailed simulator(configuration);
    EXPECT_EQ(simulator.heapMapColumns(), 2u);
    placeSettled(simulator, 3.0f, 0.5f, 2.0f, material(1.0, {1.0}));
    EXPECT_EQ(simulator.heightAt(1, 2), 0.5f);
}

// Particles in every state: resting, buried out of the world, moving with a record, settled but not
// yet retired, moving without a record.
void fillWithParticlesInEveryState(Detailed& simulator) {
    placeSettled(simulator, 2.0f, 0.5f, 2.0f, material(1.0, {1.0}));
    DetailedParticle& buried = placeSettled(simulator, 6.0f, 0.5f, 6.0f, material(1.0, {2.0}));
    korvex::testing::EngineAccess::height(simulator, 6, 6) = 10.0f;
    placeParticle(simulator, 4.0f, 3.0f, 4.0f, material(1.0, {3.0}));
    while (buried.inWorld()) {
        simulator.simulateStep();
    }
    DetailedParticle& notRetired = placeParticle(simulator, 8.0f, 0.5f, 8.0f, material(1.0, {4.0}));
    simulator.simulateStep();
    simulator.settleParticle(notRetired);
    placeParticle(simulator, 1.0f, 5.0f, 8.0f, material(1.0, {5.0}));

    ASSERT_EQ(simulator.particles().size(), 5u);
    ASSERT_EQ(simulator.movingParticles().size(), 3u);
    ASSERT_EQ(simulator.movingRecordList().size(), 2u);
    ASSERT_EQ(simulator.settledRecordList().size(), 2u);
    ASSERT_EQ(bodiesInWorld(simulator), 5u);
}

TEST(DetailedWorld, ClearEmptiesThePileAndCanBeRepeated) {
    Detailed simulator(pileOfMetreBoxes());
    fillWithParticlesInEveryState(simulator);

    for (int round = 0; round < 2; ++round) {
        simulator.clear();
        EXPECT_EQ(simulator.simulationTime(), 0u);
        EXPECT_TRUE(simulator.particles().empty());
        EXPECT_TRUE(simulator.movingParticles().empty());
        EXPECT_TRUE(simulator.movingRecordList().empty());
        EXPECT_TRUE(simulator.settledRecordList().empty());
        EXPECT_EQ(bodiesInWorld(simulator), 1u);
        for (std::uint32_t k = 0; k < simulator.heapMapColumns() * simulator.heapMapRows(); ++k) {
            ASSERT_EQ(simulator.heights()[k], 0.0f);
        }
    }
    simulator.simulateStep();
    EXPECT_FALSE(simulator.particlesInMotion());
}

// The sanitizer build's leak checker reports whatever destruction leaves behind.
TEST(DetailedWorld, DestroyingAPileInEveryStateReleasesIt) {
    auto simulator = std::make_unique<Detailed>(pileOfMetreBoxes());
    fillWithParticlesInEveryState(*simulator);
    simulator.reset();
}

}  // namespace
