#include "core/settings.h"

#include "core/setting_descriptions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace {

using korvex::Engine;
using korvex::PileSettings;
using korvex::RingPileSettings;
using korvex::SettingsError;

constexpr float nanF = std::numeric_limits<float>::quiet_NaN();
constexpr float infF = std::numeric_limits<float>::infinity();

template <class Settings>
std::vector<std::string> problemsOf(const Settings& settings) {
    const auto checked = korvex::checkSettings(settings);
    const auto* error = std::get_if<SettingsError>(&checked);
    return error ? error->problems() : std::vector<std::string>{};
}

/// Every problem names its setting and shows the value with its unit.
void expectProblems(const std::vector<std::string>& problems, const std::vector<std::string>& expected) {
    ASSERT_EQ(problems.size(), expected.size()) << ::testing::PrintToString(problems);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_NE(problems[k].find(expected[k]), std::string::npos)
            << problems[k] << " lacks " << expected[k];
    }
}

TEST(Settings, TheDefaultsPassTheCheck) {
    const korvex::PileGeometry geometry = korvex::checkedGeometry(korvex::defaultPileSettings());
    EXPECT_EQ(geometry.cellSize, 1.0f);
    EXPECT_EQ(geometry.columns, 300u);
    EXPECT_EQ(geometry.rows, 50u);
    EXPECT_EQ(geometry.reclaimIncrement, 1.0f);
    EXPECT_DOUBLE_EQ(geometry.faceSlope, 1.0);
    const korvex::RingGeometry ring = korvex::checkedGeometry(korvex::defaultRingPileSettings());
    EXPECT_EQ(ring.ringRadius, 12.5f);
}

TEST(Settings, TheFastCheckListsEveryBadSettingWithItsValueAndUnit) {
    PileSettings settings = korvex::defaultPileSettings();
    settings.configuration.length = nanF;
    settings.configuration.reclaimAngle = infF;
    settings.configuration.particlesPerCubicMeter = -2.0f;
    settings.configuration.eightNeighbourProbability = nanF;
    settings.reclaimIncrement = -1.0f;
    expectProblems(problemsOf(settings),
                   {"length must be finite, got nan m", "reclaimAngle must be finite, got inf degrees",
                    "particlesPerCubicMeter must be positive and finite, got -2 per m3",
                    "eightNeighbourProbability must be a number, got NaN",
                    "reclaimIncrement must be positive and finite, got -1 m"});
}

TEST(Settings, TheDetailedCheckListsEveryBadSetting) {
    PileSettings settings = korvex::defaultPileSettings();
    settings.engine = Engine::detailed;
    settings.configuration.depth = 0.5f;
    settings.configuration.particleVolumeFactor = 8.0f;
    settings.configuration.dropHeight = infF;
    settings.configuration.fallHeight = -1.0f;
    // The eight-neighbour probability is the fast engine's and is not looked at.
    settings.configuration.eightNeighbourProbability = nanF;
    expectProblems(problemsOf(settings),
                   {"dropHeight must be finite, got inf m",
                    "fallHeight must be finite and not negative, got -1 m",
                    "particle size (particleVolumeFactor / particlesPerCubicMeter)^(1/3) of 2 m is larger than "
                    "the bed's shorter side of 0.5 m"});
}

TEST(Settings, TheRingCheckListsItsFaceAndRadiusToo) {
    RingPileSettings settings = korvex::defaultRingPileSettings();
    settings.configuration.reclaimAngle = 120.0f;
    settings.ringRadius = 30.0f;
    settings.reclaimIncrement = 0.0;
    expectProblems(problemsOf(settings), {"reclaim_angle_deg must be above 0 ° and at most 90 °, got 120 °",
                                          "ring_radius_m of 30 m",
                                          "reclaimIncrement must be positive and finite, got 0 m"});
}
TEST(Settings, TheDetailedCheckRefusesDropsAboveTheHighestByName) {
    PileSettings settings = korvex::defaultPileSettings();
    settings.engine = Engine::detailed;
    settings.configuration.dropHeight = korvex::Limits::highestDropM;
    EXPECT_TRUE(problemsOf(settings).empty());
    settings.configuration.dropHeight = 600.0f;
    settings.configuration.fallHeight = 501.0f;
    expectProblems(problemsOf(settings),
                   {"dropHeight of 600 m is above the 500 m from which a box lands and comes to rest before the "
                    "engine freezes it, 25 s after its drop, wherever it is",
                    "fallHeight of 501 m is above the 500 m"});
}

TEST(Settings, TheLayeredCheckListsItsOwnSettingsAndWhatItDoesNotServe) {
    PileSettings settings = korvex::defaultPileSettings();
    settings.engine = Engine::layered;
    settings.layered.cell_m = 0.0;
    settings.layered.reposeAngle_deg = 90.0;
    settings.layered.streamFootprint_m = -1.0;
    settings.layered.segmentsPerColumn = 1;
    settings.configuration.circular = true;
    settings.configuration.reclaimAngle = 0.0f;
    settings.logParticles = true;
    // The eight-neighbour probability is the fast engine's and is not looked at.
    settings.configuration.eightNeighbourProbability = nanF;
    expectProblems(problemsOf(settings),
                   {"cell_size_m must be above 0 m and finite, got 0 m",
                    "angle_of_repose_deg must be at least 15 ° and at most 70 °, got 90 °",
                    "stream_footprint_m must be at least 0 m and finite, got -1 m",
                    "segments_per_column must be a whole number at least 2 and at most 10000000, got 1",
                    "circular is not served by the layered engine",
                    "reclaim_angle_deg must be above 0 ° and at most 90 °, got 0 °",
                    "logParticles: the layered engine keeps layers, not particles"});
}

TEST(Settings, TheLayeredCellLeftOutIsTheBedsRuleNotAFixedEdge) {
    PileSettings settings = korvex::defaultPileSettings();
    settings.engine = Engine::layered;
    settings.configuration.length = 30.0f;
    settings.configuration.depth = 10.0f;
    // A fiftieth of the shorter side, narrower than the stream's footprint of 1 m...
    EXPECT_FLOAT_EQ(korvex::checkedGeometry(settings).cellSize, 0.2f);
    // ...and the footprint where that is narrower.
    settings.layered.streamFootprint_m = 0.1;
    EXPECT_FLOAT_EQ(korvex::checkedGeometry(settings).cellSize, 0.1f);
}

TEST(Settings, GivenSettingsAreCheckedOnceWithEveryOtherProblemOfThePile) {
    PileSettings base = korvex::defaultPileSettings();
    base.engine = Engine::layered;
    base.configuration.circular = true;
    try {
        korvex::describedPileSettings(base, {{"eight_neighbour_probability", 0.5}, {"angle_of_repose_deg", 95.0}});
        ADD_FAILURE() << "accepted";
    } catch (const SettingsError& error) {
        // The bad angle is reported once, not again by the pile's check of its default.
        expectProblems(error.problems(),
                       {"angle_of_repose_deg must be at least 15 ° and at most 70 °, got 95 °",
                        "eight_neighbour_probability is not a setting of the layered engine: it is read only by "
                        "the fast engine and the continuous ring",
                        "circular is not served by the layered engine"});
    }
}

struct GridCase {
    const char* name;
    Engine engine;
    bool circular;
    std::uint32_t columns;
    std::uint32_t rows;
    std::size_t slices;
};

class SettingsGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(SettingsGrid, FollowsFromTheCellSize) {
    PileSettings settings;
    settings.configuration.length = 10.0f;
    settings.configuration.depth = 4.0f;
    settings.configuration.particlesPerCubicMeter = 8.0f;
    settings.configuration.circular = GetParam().circular;
    settings.engine = GetParam().engine;
    settings.layered.cell_m = 0.5;
    const korvex::PileGeometry geometry = korvex::checkedGeometry(settings);
    EXPECT_EQ(geometry.cellSize, 0.5f);
    EXPECT_EQ(geometry.columns, GetParam().columns);
    EXPECT_EQ(geometry.rows, GetParam().rows);
    EXPECT_EQ(geometry.sliceCount, GetParam().slices);
    EXPECT_EQ(geometry.reclaimIncrement, 0.5f);
}

INSTANTIATE_TEST_SUITE_P(Piles, SettingsGrid,
                         ::testing::Values(GridCase{"Fast", Engine::fast, false, 20, 8, 20},
                                           // a circle of radius 1 m: 2 pi m, 12.6 cells, rounded
                                           GridCase{"FastCircular", Engine::fast, true, 20, 8, 13},
                                           // one cell more each way, so that a box on the far edge has one
                                           GridCase{"Detailed", Engine::detailed, false, 21, 9, 0},
                                           // the layered engine's cell is its own setting
                                           GridCase{"Layered", Engine::layered, false, 20, 8, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, AGridBeyondTheCellLimitIsRefusedByEveryEngine) {
    for (Engine engine : {Engine::fast, Engine::detailed, Engine::layered}) {
        PileSettings settings = korvex::defaultPileSettings();
        settings.engine = engine;
        settings.configuration.length = 20000.0f;
        settings.configuration.depth = 20000.0f;
        settings.layered.cell_m = 1.0;
        const auto problems = problemsOf(settings);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_NE(problems[0].find("more than the 268435456 (2^28)"), std::string::npos) << problems[0];
    }
}

class VerticalFace : public ::testing::TestWithParam<std::pair<float, bool>> {};

TEST_P(VerticalFace, WithinAHundredthOfADegreeOfNinety) {
    const auto [angle, vertical] = GetParam();
    EXPECT_EQ(korvex::isVerticalFace(angle), vertical);
    EXPECT_EQ(std::isinf(korvex::faceSlope(angle)), vertical);
}

INSTANTIATE_TEST_SUITE_P(Angles, VerticalFace,
                         ::testing::Values(std::pair{90.0f, true}, std::pair{89.995f, true},
                                           std::pair{90.009f, true}, std::pair{89.98f, false},
                                           std::pair{45.0f, false}, std::pair{135.0f, false}));

TEST(Settings, AReclaimStepMustKeepThePositionGrowingAndTheSlicesBounded) {
    EXPECT_FALSE(korvex::reclaimStepProblem(1e-4, 700.0));
    // 2^24 slices at most over the reach
    EXPECT_TRUE(korvex::reclaimStepProblem(1e-5, 700.0));
    EXPECT_TRUE(korvex::reclaimStepProblem(std::numeric_limits<double>::quiet_NaN(), 700.0));
}

}  // namespace
