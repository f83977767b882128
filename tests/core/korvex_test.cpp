#include "core/korvex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/settings.h"
#include "tests/engine_access.h"

using korvex::AveragedParameters;
using korvex::KorvexConfiguration;

namespace {

struct Drop {
    float x;
    float z;
    AveragedParameters particle;
};

// A simulator that records every particle the base hands to it.
class RecordingSimulator : public korvex::Korvex<AveragedParameters> {
public:
    explicit RecordingSimulator(const KorvexConfiguration& configuration, std::uint32_t width = 3,
                                std::uint32_t depth = 2)
        : Korvex(configuration) {
        initializeHeapMap(width, depth);
    }

    void clear() override { emptyRecordQueues(); }
    void finishStacking() override {}
    bool reclaimingFinished() override { return true; }
    double heldVolume() const override { return static_cast<double>(drops.size()) * particleVolume(); }
    AveragedParameters reclaim(float) override { return {}; }
    void dropParticle(float x, float z, const AveragedParameters& particle) override {
        drops.push_back({x, z, particle});
    }

    std::vector<Drop> drops;
};

KorvexConfiguration withParticlesPerCubicMeter(float particlesPerCubicMeter) {
    KorvexConfiguration configuration;
    configuration.length = 10.0f;
    configuration.depth = 4.0f;
    configuration.particlesPerCubicMeter = particlesPerCubicMeter;
    return configuration;
}

AveragedParameters material(double volume, std::vector<double> values) {
    return AveragedParameters(volume, values);
}

}  // namespace

TEST(Korvex, ParticleVolumeIsDividedInSinglePrecision) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(3.0f));
    EXPECT_EQ(simulator.particleVolume(), 0.3333333432674408);
}

TEST(Korvex, StackCutsAChunkIntoWholeParticles) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(4.0f));
    simulator.stack(1.5f, 2.5f, material(1.0, {3.0, 7.0}));
    ASSERT_EQ(simulator.drops.size(), 4u);
    for (const auto& drop : simulator.drops) {
        EXPECT_EQ(drop.x, 1.5f);
        EXPECT_EQ(drop.z, 2.5f);
        EXPECT_EQ(drop.particle.volume, 0.25);
        EXPECT_EQ(drop.particle.averages(), (std::vector<double>{3.0, 7.0}));
    }
    EXPECT_EQ(simulator.pending().volume, 0.0);
}

TEST(Korvex, RemainderIsMixedIntoTheNextChunkAndDroppedThere) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.stack(1.0f, 1.0f, material(1.25, {10.0}));
    ASSERT_EQ(simulator.drops.size(), 2u);
    EXPECT_DOUBLE_EQ(simulator.pending().volume, 0.25);

    simulator.stack(8.0f, 3.0f, material(0.25, {20.0}));
    ASSERT_EQ(simulator.drops.size(), 3u);
    const auto& last = simulator.drops.back();
    EXPECT_EQ(last.x, 8.0f);
    EXPECT_EQ(last.z, 3.0f);
    EXPECT_DOUBLE_EQ(last.particle.volume, 0.5);
    EXPECT_DOUBLE_EQ(last.particle.averages()[0], 15.0);
}

TEST(Korvex, ChunksSmallerThanAParticleOrEmptyDropNothing) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.stack(0.0f, 0.0f, AveragedParameters{});
    EXPECT_TRUE(simulator.pending().sums.empty());
    simulator.stack(0.0f, 0.0f, material(0.49, {1.0}));
    EXPECT_TRUE(simulator.drops.empty());
    EXPECT_DOUBLE_EQ(simulator.pending().volume, 0.49);
}

TEST(Korvex, PendingVolumeOfExactlyOneParticleIsDropped) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.stack(0.0f, 0.0f, material(0.5, {1.0}));
    EXPECT_EQ(simulator.drops.size(), 1u);
}

TEST(Korvex, FirstParametersFixTheCountForTheSimulatorsLife) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f));
    simulator.stack(0.0f, 0.0f, material(1.5, {1.0, 2.0}));
    const auto pending = simulator.pending();

    AveragedParameters volumeOnly;
    volumeOnly.volume = 3.0;
    for (const auto& other : {material(3.0, {1.0}), volumeOnly}) {
        EXPECT_THROW(simulator.stack(0.0f, 0.0f, other), std::runtime_error);
        EXPECT_EQ(simulator.drops.size(), 1u);
        EXPECT_EQ(simulator.pending().volume, pending.volume);
        EXPECT_EQ(simulator.pending().sums, pending.sums);
    }
}

TEST(Korvex, NoQualityValuesFixACountOfZero) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f));
    AveragedParameters volumeOnly;
    volumeOnly.volume = 1.5;
    simulator.stack(0.0f, 0.0f, volumeOnly);
    EXPECT_THROW(simulator.stack(0.0f, 0.0f, material(3.0, {1.0})), std::runtime_error);
    EXPECT_EQ(simulator.drops.size(), 1u);
    EXPECT_EQ(simulator.pending().volume, 0.5);
    EXPECT_TRUE(simulator.pending().sums.empty());
    // Taking the remainder leaves the count as it was.
    EXPECT_EQ(simulator.takePendingMaterial().volume, 0.5);
    EXPECT_THROW(simulator.stack(0.0f, 0.0f, material(3.0, {1.0})), std::runtime_error);
}

TEST(Korvex, TakingThePendingMaterialKeepsItsAveragesAndEmptiesIt) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.stack(0.0f, 0.0f, material(1.25, {10.0, 4.0}));
    const AveragedParameters remainder = simulator.takePendingMaterial();
    EXPECT_DOUBLE_EQ(remainder.volume, 0.25);
    EXPECT_EQ(remainder.averages(), (std::vector<double>{10.0, 4.0}));
    EXPECT_EQ(simulator.pending().volume, 0.0);
    EXPECT_EQ(simulator.pending().sums, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(simulator.takePendingMaterial().volume, 0.0);
}

TEST(Korvex, RoomCountsParticlesDroppedAndPendingMaterial) {
    // A bed of 10 x 4 m holds 40000 m3.
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f));
    simulator.stack(0.0f, 0.0f, material(39999.5, {1.0}));
    EXPECT_NO_THROW(simulator.checkRoomFor(0.5));
    EXPECT_THROW(simulator.checkRoomFor(0.5000001), std::invalid_argument);
    EXPECT_THROW(simulator.stack(0.0f, 0.0f, material(1.0, {1.0})), std::invalid_argument);
    EXPECT_THROW(simulator.checkRoomFor(std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
    EXPECT_EQ(simulator.drops.size(), 39999u);
    EXPECT_EQ(simulator.pending().volume, 0.5);
}

class KorvexRejectsMaterial : public testing::TestWithParam<std::tuple<float, float, double, double>> {};

TEST_P(KorvexRejectsMaterial, BeforeAnythingChanges) {
    const auto [x, z, volume, value] = GetParam();
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f));
    simulator.stack(0.0f, 0.0f, material(0.5, {1.0}));
    EXPECT_THROW(simulator.stack(x, z, material(volume, {value})), std::invalid_argument);
    EXPECT_TRUE(simulator.drops.empty());
    EXPECT_EQ(simulator.pending().volume, 0.5);
    EXPECT_EQ(simulator.pending().sums, (std::vector<double>{0.5}));
}

namespace {
constexpr double infD = std::numeric_limits<double>::infinity();
constexpr double nanD = std::numeric_limits<double>::quiet_NaN();
constexpr float infF = std::numeric_limits<float>::infinity();
constexpr float nanF = std::numeric_limits<float>::quiet_NaN();
}  // namespace

INSTANTIATE_TEST_SUITE_P(BadInput, KorvexRejectsMaterial,
                         testing::Values(std::tuple{0.0f, 0.0f, infD, 1.0}, std::tuple{0.0f, 0.0f, nanD, 1.0},
                                         std::tuple{0.0f, 0.0f, -1.0, 1.0}, std::tuple{0.0f, 0.0f, 1.0, nanD},
                                         std::tuple{0.0f, 0.0f, 1.0, infD}, std::tuple{nanF, 0.0f, 1.0, 1.0},
                                         std::tuple{0.0f, infF, 1.0, 1.0},
                                         // more than the 40000 m3 a bed of 10 x 4 m holds 1 km high
                                         std::tuple{0.0f, 0.0f, 1e300, 1.0}, std::tuple{0.0f, 0.0f, 40000.0, 1.0},
                                         // a finite value whose sum over a full bed would not be
                                         std::tuple{0.0f, 0.0f, 1.0, 1e304}, std::tuple{0.0f, 0.0f, 0.1, -1e304}));

TEST(Korvex, PauseAndResumeFlipTheFlag) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f));
    EXPECT_FALSE(simulator.isPaused());
    simulator.pause();
    EXPECT_TRUE(simulator.isPaused());
    simulator.resume();
    EXPECT_FALSE(simulator.isPaused());
}

TEST(HeapMap, IsRowMajorByZAndStartsAtZero) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f), 3, 2);
    EXPECT_EQ(simulator.heapMapColumns(), 3u);
    EXPECT_EQ(simulator.heapMapRows(), 2u);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(simulator.heights()[k], 0.0f);
    }
    korvex::testing::EngineAccess::height(simulator, 2, 1) = 4.5f;
    EXPECT_EQ(simulator.heights()[5], 4.5f);
}

class HeapMapSecondInitialization : public testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(HeapMapSecondInitialization, IsRejectedAndChangesNothing) {
    const auto [width, depth] = GetParam();
    RecordingSimulator simulator(withParticlesPerCubicMeter(1.0f), width, depth);
    try {
        simulator.initializeHeapMap(7, 7);
        FAIL() << "expected a runtime error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "invalid call to KorvexCli::initializeHeapMap(): heap map already initialized");
    }
    EXPECT_EQ(simulator.heapMapColumns(), width);
    EXPECT_EQ(simulator.heapMapRows(), depth);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HeapMapSecondInitialization,
                         testing::Values(std::pair{3u, 2u}, std::pair{0u, 5u}, std::pair{5u, 0u}));

TEST(HeapMap, ElementCountMustStayWithinTheCellLimit) {
    EXPECT_THROW(RecordingSimulator(withParticlesPerCubicMeter(1.0f), 65536, 65536), std::length_error);
    // One row more than 2^14 x 2^14 cells: refused before anything is allocated.
    EXPECT_THROW(RecordingSimulator(withParticlesPerCubicMeter(1.0f), 16384, 16385), std::length_error);
}

struct RejectedSetting {
    const char* setting;
    void (*change)(KorvexConfiguration&);
};

class ConfigurationRejected : public testing::TestWithParam<RejectedSetting> {};

TEST_P(ConfigurationRejected, WithAMessageNamingTheSetting) {
    auto configuration = withParticlesPerCubicMeter(1.0f);
    GetParam().change(configuration);
    korvex::PileSettings settings;
    settings.configuration = configuration;
    const auto checked = korvex::checkSettings(settings);
    const auto* error = std::get_if<korvex::SettingsError>(&checked);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error->what()).rfind(GetParam().setting, 0), 0u) << error->what();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigurationRejected,
    testing::Values(RejectedSetting{"particlesPerCubicMeter",
                                    [](KorvexConfiguration& c) { c.particlesPerCubicMeter = 0.0f; }},
                    RejectedSetting{"particlesPerCubicMeter",
                                    [](KorvexConfiguration& c) { c.particlesPerCubicMeter = -2.0f; }},
                    RejectedSetting{"particlesPerCubicMeter",
                                    [](KorvexConfiguration& c) { c.particlesPerCubicMeter = nanF; }},
                    RejectedSetting{"particlesPerCubicMeter",
                                    [](KorvexConfiguration& c) { c.particlesPerCubicMeter = infF; }},
                    RejectedSetting{"length", [](KorvexConfiguration& c) { c.length = infF; }},
                    RejectedSetting{"depth", [](KorvexConfiguration& c) { c.depth = nanF; }},
                    RejectedSetting{"reclaimAngle", [](KorvexConfiguration& c) { c.reclaimAngle = nanF; }}));

TEST(Configuration, AcceptsAnglesOutsideTheUsualRange) {
    for (float angle : {-45.0f, 0.0f, 90.0f, 180.0f, 270.0f}) {
        auto configuration = withParticlesPerCubicMeter(1.0f);
        configuration.reclaimAngle = angle;
        korvex::PileSettings settings;
        settings.configuration = configuration;
        EXPECT_NO_THROW(korvex::checkedGeometry(settings));
    }
}

// A chunk cut short by an interrupt, at the first check or a later one, keeps exactly the particles it
// dropped: nothing of it is left pending for the next call.
class CutShortStack : public ::testing::TestWithParam<bool> {};

TEST_P(CutShortStack, LeavesNothingOfTheChunkPending) {
    const bool byInterrupt = GetParam();
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.stack(1.0f, 1.0f, material(1.25, {10.0}));  // leaves 0.25 pending
    const double before = simulator.stackedVolume();
    if (byInterrupt) {
        simulator.setInterruptCheck([] { throw std::runtime_error("interrupted"); });
    } else {
        simulator.setInterruptCheck([&simulator] {
            if (simulator.drops.size() > 1500) {
                throw std::runtime_error("interrupted");
            }
        });
    }
    EXPECT_THROW(simulator.stack(5.0f, 1.0f, material(1e4, {20.0})), std::runtime_error);
    const std::size_t dropped = simulator.drops.size() - 2;
    ASSERT_GT(dropped, 0u);
    EXPECT_LT(dropped, 10000u);
    EXPECT_EQ(simulator.pending().volume, 0.0);
    EXPECT_DOUBLE_EQ(simulator.stackedVolume() - before, 0.5 * static_cast<double>(dropped) - 0.25);
    simulator.setInterruptCheck({});
    simulator.stack(9.0f, 1.0f, material(0.5, {30.0}));
    ASSERT_EQ(simulator.drops.size(), dropped + 3);
    EXPECT_EQ(simulator.drops.back().x, 9.0f);
    EXPECT_EQ(simulator.drops.back().particle.averages(), std::vector<double>{30.0});
}

TEST(Korvex, AStackInterruptedBeforeItsFirstDropLeavesThePendingMaterialAsItWas) {
    RecordingSimulator simulator(withParticlesPerCubicMeter(2.0f));
    simulator.setInterruptCheck([] { throw std::runtime_error("interrupted"); });
    simulator.stack(1.0f, 1.0f, material(1.25, {10.0}));
    // The check runs before every 1024th particle: 2 + 1021 drops leave the next call's first particle to it.
    simulator.stack(2.0f, 1.0f, material(510.5, {10.0}));
    const std::size_t drops = simulator.drops.size();
    EXPECT_THROW(simulator.stack(3.0f, 1.0f, material(100.0, {40.0})), std::runtime_error);
    EXPECT_EQ(simulator.drops.size(), drops);
    EXPECT_DOUBLE_EQ(simulator.pending().volume, 0.25);
    EXPECT_EQ(simulator.pending().averages(), std::vector<double>{10.0});
}

INSTANTIATE_TEST_SUITE_P(Korvex, CutShortStack, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FirstCheck" : "LaterCheck"; });
