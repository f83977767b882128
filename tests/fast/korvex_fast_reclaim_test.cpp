#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fast/random_sources.h"
#include "fast_test_support.h"
#include "tests/engine_access.h"

using namespace korvex::testing_support;
using korvex::AveragedParameters;

namespace {

/// A straight pile of four 0.5 m slices holding volumes 1, 2, 4 and 8 of qualities 10, 20, 30 and 40.
class FourSlices : public Fast {
public:
    FourSlices() : Fast(pile(2.0f, 0.5f)) {
        for (std::size_t k = 0; k < 4; ++k) {
            korvex::testing::EngineAccess::slices(*this)[k] =
                material(static_cast<double>(1 << k), {10.0 * static_cast<double>(k + 1)});
        }
    }
};

/// Reclaims at 0, step, 2 step ... until the simulator has finished, as the Python facade does.
std::vector<AveragedParameters> reclaimPass(Fast& simulator, float step) {
    std::vector<AveragedParameters> taken;
    for (int k = 0; !simulator.reclaimingFinished(); ++k) {
        taken.push_back(simulator.reclaim(static_cast<float>(k) * step));
    }
    return taken;
}

}  // namespace

struct ReclaimSequence {
    std::string name;
    std::vector<float> positions;
    std::vector<double> taken;      // volume returned by each call
    std::vector<double> remaining;  // slice volumes afterwards
    float reached;                  // lastReclaimPosition afterwards
};

class KorvexFastReclaim : public testing::TestWithParam<ReclaimSequence> {};

TEST_P(KorvexFastReclaim, TakesWholeSlicesAndPartialSlicesInProportion) {
    const ReclaimSequence& sequence = GetParam();
    FourSlices simulator;
    for (std::size_t k = 0; k < sequence.positions.size(); ++k) {
        EXPECT_NEAR(simulator.reclaim(sequence.positions[k]).volume, sequence.taken[k], 1e-12) << "call " << k;
    }
    const auto volumes = sliceVolumes(simulator);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(volumes[k], sequence.remaining[k], 1e-12) << "slice " << k;
    }
    EXPECT_EQ(simulator.lastReclaimPosition(), sequence.reached);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, KorvexFastReclaim,
    testing::Values(
        ReclaimSequence{"ZeroOnAFreshPile", {0.0f}, {0.0}, {1, 2, 4, 8}, 0.0f},
        ReclaimSequence{"QuarterOfTheFirstSlice", {0.125f}, {0.25}, {0.75, 2, 4, 8}, 0.125f},
        ReclaimSequence{"ThreeWholeSlices", {1.5f}, {7.0}, {0, 0, 0, 8}, 1.5f},
        ReclaimSequence{"HalfASliceThenTheOtherHalf", {1.25f, 1.5f}, {5.0, 2.0}, {0, 0, 0, 8}, 1.5f},
        ReclaimSequence{"QuarterThenHalfLeavesAQuarter", {1.125f, 1.375f}, {4.0, 2.0}, {0, 0, 1, 8}, 1.375f},
        ReclaimSequence{"QuarterThenQuarterThenRest", {1.125f, 1.25f, 1.5f}, {4.0, 1.0, 2.0}, {0, 0, 0, 8}, 1.5f},
        ReclaimSequence{"BeyondTheEndTakesAllThenNothing", {5.0f, 6.0f}, {15.0, 0.0}, {0, 0, 0, 0}, 6.0f},
        ReclaimSequence{"InfinityTakesAllThenNothing", {infF, 1.0f}, {15.0, 0.0}, {0, 0, 0, 0}, infF},
        ReclaimSequence{"BackWithinTheSliceTakesNothing", {1.25f, 1.125f, 1.5f}, {5.0, 0.0, 2.0}, {0, 0, 0, 8},
                        1.5f},
        ReclaimSequence{"BackToAnEarlierSliceTakesNothing", {1.25f, 0.3f, 1.5f}, {5.0, 0.0, 2.0}, {0, 0, 0, 8},
                        1.5f},
        ReclaimSequence{"NegativeTakesNothing", {-1.0f, 0.75f}, {0.0, 2.0}, {0, 1, 4, 8}, 0.75f},
        ReclaimSequence{"NaNTakesNothing", {nanF, 0.75f}, {0.0, 2.0}, {0, 1, 4, 8}, 0.75f},
        ReclaimSequence{"HalfACellBeforeTheEndTakesTheRest", {1.5f, 1.75f}, {7.0, 8.0}, {0, 0, 0, 0}, 1.75f},
        ReclaimSequence{"PartOfTheLastSliceThenTheRest", {1.625f, 1.8f}, {9.0, 6.0}, {0, 0, 0, 0}, 1.8f}),
    [](const auto& info) { return info.param.name; });

TEST(KorvexFastReclaim, ReturnsVolumeWeightedAveragesAndTheSliceKeepsItsOwn) {
    FourSlices simulator;
    const AveragedParameters nothing = simulator.reclaim(0.0f);
    EXPECT_EQ(nothing.volume, 0.0);
    EXPECT_EQ(nothing.sums, std::vector<double>{0.0});
    EXPECT_TRUE(Fast(pile(2.0f, 0.5f)).reclaim(0.0f).sums.empty());

    const AveragedParameters taken = simulator.reclaim(1.25f);
    EXPECT_DOUBLE_EQ(taken.averages()[0], (1 * 10.0 + 2 * 20.0 + 2 * 30.0) / 5.0);
    EXPECT_DOUBLE_EQ(simulator.slices()[2].averages()[0], 30.0);
    EXPECT_TRUE(simulator.slices()[1].sums.empty());
}

class KorvexFastFinished : public testing::TestWithParam<std::pair<float, bool>> {};

TEST_P(KorvexFastFinished, OnceTheReclaimerIsHalfACellBeforeTheEnd) {
    FourSlices simulator;
    EXPECT_FALSE(simulator.reclaimingFinished());
    simulator.reclaim(GetParam().first);
    EXPECT_EQ(simulator.reclaimingFinished(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Positions, KorvexFastFinished,
                         testing::Values(std::pair{1.74f, false}, std::pair{1.75f, true}, std::pair{1e30f, true},
                                         std::pair{infF, true}, std::pair{-1.0f, false}, std::pair{nanF, false}));

TEST(KorvexFastReclaim, PassTakesTheWholePileAndASecondPassTakesNothing) {
    for (const float step : {0.25f, 0.3f, 0.5f, 0.7f}) {
        FourSlices simulator;
        double taken = 0.0;
        for (const auto& part : reclaimPass(simulator, step)) {
            taken += part.volume;
        }
        EXPECT_DOUBLE_EQ(taken, 15.0) << "step " << step;
        EXPECT_EQ(sliceVolumes(simulator), std::vector<double>(4, 0.0));

        EXPECT_TRUE(reclaimPass(simulator, step).empty());
        const AveragedParameters again = simulator.reclaim(0.0f);
        EXPECT_EQ(again.volume, 0.0);
    }
}

TEST(KorvexFastReclaim, TwoMaterialPileComesBackWithItsVolumeWeightedAverages) {
    auto configuration = pile(10.0f, 4.0f);
    configuration.reclaimAngle = 45.0f;
    Fast simulator(configuration);
    korvex::seedFastRandomSources(17);
    simulator.stack(2.0f, 2.0f, material(30.0, {1.0, 2.0}));
    simulator.stack(8.0f, 2.0f, material(10.0, {3.0, 4.0}));
    EXPECT_EQ(simulator.slices().front().averages(), (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(simulator.slices().back().averages(), (std::vector<double>{3.0, 4.0}));

    AveragedParameters total;
    for (const auto& part : reclaimPass(simulator, 0.5f)) {
        total.add(part);
    }
    EXPECT_NEAR(total.volume, 40.0, 1e-9);
    EXPECT_NEAR(total.averages()[0], (30.0 * 1.0 + 10.0 * 3.0) / 40.0, 1e-9);
    EXPECT_NEAR(total.averages()[1], (30.0 * 2.0 + 10.0 * 4.0) / 40.0, 1e-9);
}

TEST(KorvexFastHeights, AreCubeCountsTimesTheCellSizeRowByRowAndIgnoreReclaiming) {
    Fast simulator(pile(1.5f, 1.0f));
    const std::int32_t cubes[2][3] = {{0, 3, 1}, {2, 0, 5}};
    for (std::size_t j = 0; j < 2; ++j) {
        for (std::size_t i = 0; i < 3; ++i) {
            korvex::testing::EngineAccess::columnCounts(simulator)[i + 1][j + 1] = cubes[j][i];
        }
    }
    simulator.dropParticle(0.0f, 0.0f, particle());  // lands in the empty column 0 of row 0
    EXPECT_EQ(simulator.heights()[0], 0.0f);
    simulator.updateHeapMap();
    const std::vector<float> expected{0.5f, 1.5f, 0.5f, 1.0f, 0.0f, 2.5f};
    EXPECT_EQ(std::vector<float>(simulator.heights().data(), simulator.heights().data() + 6), expected);

    simulator.reclaim(infF);
    simulator.updateHeapMap();
    EXPECT_EQ(std::vector<float>(simulator.heights().data(), simulator.heights().data() + 6), expected);
    simulator.clear();
    simulator.updateHeapMap();
    EXPECT_EQ(std::vector<float>(simulator.heights().begin(), simulator.heights().end()), std::vector<float>(6));
}
