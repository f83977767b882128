#include "core/reclaim_pile.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "core/settings.h"
#include "tests/engine_access.h"

using korvex::AveragedParameters;
using korvex::KorvexConfiguration;

namespace {

// A pile of `slices` unit slices that reports finished once a reclaim has
// reached its end.
class SlicedSimulator : public korvex::Korvex<AveragedParameters> {
public:
    explicit SlicedSimulator(float end) : Korvex(KorvexConfiguration{}), end(end) { initializeHeapMap(1, 1); }

    void clear() override {}
    void finishStacking() override { ++finishCalls; }
    bool reclaimingFinished() override { return last >= end; }
    double heldVolume() const override { return 0.0; }
    double reclaimReach() override { return reach; }
    AveragedParameters reclaim(float position) override {
        last = position;
        if (position > 1.0f) {
            return {};  // keeps the long run of the stalling test cheap
        }
        return AveragedParameters(1.0, std::vector<double>{position});
    }
    void dropParticle(float, float, const AveragedParameters&) override {}

    float end;
    double reach = 0.0;
    float last = -1.0f;
    int finishCalls = 0;
};

}  // namespace

TEST(ReclaimPile, FinishesStackingAndStepsInSinglePrecision) {
    SlicedSimulator simulator(0.35f);
    const auto slices = korvex::reclaimPile(simulator, 0.1f);
    EXPECT_EQ(simulator.finishCalls, 1);
    ASSERT_EQ(slices.size(), 5u);
    EXPECT_EQ(static_cast<double>(slices[1].position), 0.10000000149011612);
    EXPECT_EQ(static_cast<double>(slices[3].position), 0.30000001192092896);
    EXPECT_EQ(slices[4].material.averages()[0], static_cast<double>(slices[4].position));
}

TEST(ReclaimPile, AFinishedPileYieldsNoSlice) {
    SlicedSimulator simulator(-1.0f);
    EXPECT_TRUE(korvex::reclaimPile(simulator, 1.0f).empty());
}

TEST(ReclaimPile, StopsWithAnErrorWhenThePositionStopsGrowing) {
    SlicedSimulator simulator(1e9f);
    EXPECT_THROW(korvex::reclaimPile(simulator, 0.4f), std::runtime_error);
}

TEST(ReclaimPile, FailsBeforeTakingAnythingWhenMaterialLiesBeyondWhereTheStepGrows) {
    SlicedSimulator simulator(0.35f);
    simulator.reach = 3000.0;  // where 1e-4 no longer changes a float
    EXPECT_THROW(korvex::reclaimPile(simulator, 1e-4f), std::invalid_argument);
    EXPECT_EQ(simulator.last, -1.0f);
    simulator.reach = 1000.0;
    EXPECT_GT(korvex::reclaimPile(simulator, 1e-4f).size(), 3000u);
}

TEST(ReclaimPile, ThePendingRemainderComesOutWithTheLastSlice) {
    SlicedSimulator simulator(0.35f);
    korvex::testing::EngineAccess::pending(simulator) = AveragedParameters(0.5, std::vector<double>{4.0});
    const auto slices = korvex::reclaimPile(simulator, 0.1f);
    ASSERT_EQ(slices.size(), 5u);
    EXPECT_DOUBLE_EQ(slices[4].material.volume, 1.5);
    EXPECT_DOUBLE_EQ(slices[4].material.sums[0], static_cast<double>(slices[4].position) + 2.0);
    EXPECT_EQ(slices[3].material.volume, 1.0);
    EXPECT_EQ(simulator.pending().volume, 0.0);
    EXPECT_EQ(simulator.pending().sums.size(), 1u);
}

TEST(ReclaimPile, ARemainderAloneIsOneSliceAtZero) {
    SlicedSimulator simulator(-1.0f);
    korvex::testing::EngineAccess::pending(simulator) = AveragedParameters(0.5, std::vector<double>{4.0});
    const auto slices = korvex::reclaimPile(simulator, 1.0f);
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices[0].position, 0.0f);
    EXPECT_EQ(slices[0].material.averages(), std::vector<double>{4.0});
    EXPECT_TRUE(korvex::reclaimPile(simulator, 1.0f).empty());
}

class ReclaimIncrementRejected : public testing::TestWithParam<std::pair<float, float>> {};

TEST_P(ReclaimIncrementRejected, ForAPileOf300By50) {
    const auto [increment, length] = GetParam();
    EXPECT_TRUE(korvex::reclaimStepProblem(increment, 2.0 * (length + 50.0)));
}

INSTANTIATE_TEST_SUITE_P(Increments, ReclaimIncrementRejected,
                         testing::Values(std::pair{0.0f, 300.0f}, std::pair{-1.0f, 300.0f},
                                         std::pair{std::numeric_limits<float>::quiet_NaN(), 300.0f},
                                         std::pair{std::numeric_limits<float>::infinity(), 300.0f},
                                         std::pair{1e-6f, 300.0f}, std::pair{1e-3f, 1e7f}));

TEST(ReclaimIncrement, SmallButWorkableStepsAreAccepted) {
    EXPECT_FALSE(korvex::reclaimStepProblem(1e-4, 700.0));
    EXPECT_FALSE(korvex::reclaimStepProblem(0.1, 0.0));
}
