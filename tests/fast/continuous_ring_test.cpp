#include "fast/continuous_ring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using korvex::AveragedParameters;
using korvex::ContinuousRing;
using korvex::KorvexConfiguration;
using korvex::ReclaimerSchedule;
using korvex::RingSlice;

constexpr float radius = 12.0f;

KorvexConfiguration area(float reclaimAngle) {
    KorvexConfiguration configuration;
    configuration.length = 40.0f;
    configuration.depth = 40.0f;
    configuration.reclaimAngle = reclaimAngle;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.eightNeighbourProbability = 0.5f;
    return configuration;
}

/// Where the stacker stands `along_m` metres along the centre line (the ring's own convention).
std::pair<double, double> onCentreLine(double along_m) {
    const double angle = std::numbers::pi - along_m / radius;
    return {20.0 + radius * std::cos(angle), 20.0 + radius * std::sin(angle)};
}

/// Rows (timestamp, x, z, volume, q) of a stacker advancing `speed` m/s along the centre line, one
/// cubic metre a second, quality `quality(t)`.
template <class Quality>
std::vector<double> advancingStacker(double seconds, double speed, Quality quality) {
    std::vector<double> rows;
    for (double t = 0.0; t < seconds; t += 1.0) {
        const auto [x, z] = onCentreLine(t * speed);
        rows.insert(rows.end(), {t, x, z, 1.0, quality(t)});
    }
    return rows;
}

korvex::TableView viewOf(const std::vector<double>& rows) {
    constexpr std::size_t columns = 5;
    return {reinterpret_cast<const std::byte*>(rows.data()), rows.size() / columns, columns,
            static_cast<std::ptrdiff_t>(columns * sizeof(double)), sizeof(double)};
}

const std::vector<std::string> names{"timestamp", "x", "z", "volume", "q"};

double volumeOf(const std::vector<RingSlice>& slices) {
    return std::accumulate(slices.begin(), slices.end(), 0.0, [](double sum, const RingSlice& slice) {
        return sum + slice.cut.material.volume;
    });
}

class ContinuousRingTest : public ::testing::TestWithParam<float> {};

// Four turns of the stacker with the reclaimer half a turn behind: whatever is not on the ring has come
// out, with its quality, and draining empties the ring.
TEST_P(ContinuousRingTest, ConservesMassAndQualityOverSeveralTurns) {
    korvex::SplitDrawSources random(7);
    ContinuousRing ring(area(GetParam()), radius, random);
    const double speed = 0.25;  // m/s on the centre line: a turn in about 300 s
    const double seconds = 4.0 * ring.circleLength() / speed;
    const auto rows = advancingStacker(seconds, speed, [](double t) { return t < 600.0 ? 1.0 : 3.0; });
    const double lag = ring.circleLength() / 2;
    const ReclaimerSchedule schedule{{lag / speed, seconds}, {0.0, seconds * speed - lag}};
    const auto slices = korvex::runRing(ring, viewOf(rows), names, schedule, ring.cellSize());

    const double stacked = static_cast<double>(rows.size() / 5);
    EXPECT_NEAR(volumeOf(slices) + ring.volumeOnRing() + ring.pending().volume, stacked, 1e-6);
    EXPECT_GT(volumeOf(slices), stacked / 2);
    // Cut a slice a cell at a time, never before the reclaimer got there.
    ASSERT_FALSE(slices.empty());
    EXPECT_NEAR(slices.back().position_m, schedule.position_m.back(), 1e-9);
    for (std::size_t s = 1; s < slices.size(); ++s) {
        EXPECT_GE(slices[s].time_s, slices[s - 1].time_s);
    }

    const auto rest = korvex::drainRing(ring, ring.cellSize(), speed);
    EXPECT_TRUE(ring.reclaimingFinished());
    EXPECT_EQ(ring.volumeOnRing(), 0.0);
    double volume = 0.0;
    double sum = 0.0;
    for (const auto* part : {&slices, &rest}) {
        for (const RingSlice& slice : *part) {
            volume += slice.cut.material.volume;
            sum += slice.cut.material.sums.empty() ? 0.0 : slice.cut.material.sums[0];
        }
    }
    const double stackedSum = 600.0 + 3.0 * (stacked - 600.0);
    EXPECT_NEAR(volume + ring.pending().volume, stacked, 1e-6);
    EXPECT_NEAR(sum, stackedSum - 3.0 * ring.pending().volume, 1e-6);
}

// The face takes every column it passes down to the ground, and ahead of its foot leaves no column
// higher than the face stands over it at that column's radius.
TEST_P(ContinuousRingTest, ReclaimingLowersTheColumnsItCuts) {
    korvex::SplitDrawSources random(3);
    ContinuousRing ring(area(GetParam()), radius, random);
    for (int turn = 0; turn < 3; ++turn) {
        for (double along = 0.0; along < ring.circleLength(); along += 0.5) {
            const auto [x, z] = onCentreLine(along);
            ring.stack(static_cast<float>(x), static_cast<float>(z),
                       AveragedParameters(2.0, std::vector{1.0}));
        }
    }
    const double before = ring.volumeOnRing();
    const double foot = ring.circleLength() / 4;
    const auto cut = ring.cut(foot);
    EXPECT_NEAR(cut.material.volume + ring.volumeOnRing(), before, 1e-9);
    EXPECT_GT(cut.material.volume, 0.0);
    const double footAngle = foot / radius;
    for (std::size_t c = 1; c <= ring.heapMapColumns(); ++c) {
        for (std::size_t r = 1; r <= ring.heapMapRows(); ++r) {
            const double px = static_cast<double>(c - 1) * ring.cellSize() - 20.0;
            const double pz = static_cast<double>(r - 1) * ring.cellSize() - 20.0;
            const double angle = std::numbers::pi - std::atan2(pz, px);
            const std::int32_t count = ring.columnCounts()[c][r];
            // A column on the start line itself stood at the foot before the cut: its next pass is a turn on.
            if (angle > 0.0 && angle <= footAngle) {
                EXPECT_EQ(count, 0) << "column " << c << ", " << r << " behind the foot";
            } else if (!std::isinf(ring.reclaimSlope())) {
                const double pass = angle > 0.0 ? angle : angle + 2.0 * std::numbers::pi;
                const double face = (pass - footAngle) * std::hypot(px, pz) * ring.reclaimSlope();
                EXPECT_LE((count - 0.5) * ring.cellSize(), face) << "column " << c << ", " << r;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FaceAngles, ContinuousRingTest, ::testing::Values(45.0f, 90.0f));

// Material laid where the reclaimer has just passed waits a whole turn for the next pass.
TEST(ContinuousRing, MaterialBehindTheReclaimerLeavesOnTheNextTurn) {
    korvex::SplitDrawSources random(1);
    ContinuousRing ring(area(90.0f), radius, random);
    ring.cut(10.0);
    const auto [x, z] = onCentreLine(5.0);
    ring.setClock(100.0);
    ring.stack(static_cast<float>(x), static_cast<float>(z), AveragedParameters(1.0, std::vector{2.0}));
    EXPECT_EQ(ring.cut(ring.circleLength()).material.volume, 0.0);
    ring.setClock(700.0);
    const auto cut = ring.cut(ring.circleLength() + 10.0);
    EXPECT_DOUBLE_EQ(cut.material.volume, 1.0);
    EXPECT_DOUBLE_EQ(cut.residenceVolumeSeconds, 600.0);
}

TEST(ContinuousRing, RefusesGeometryItCannotRun) {
    korvex::SplitDrawSources random(1);
    EXPECT_THROW(ContinuousRing(area(120.0f), radius, random), std::invalid_argument);
    EXPECT_THROW(ContinuousRing(area(45.0f), 20.0f, random), std::invalid_argument);
    EXPECT_THROW(ContinuousRing(area(45.0f), -1.0f, random), std::invalid_argument);
    ContinuousRing ring(area(45.0f), radius, random);
    const std::vector<double> backwards{5.0, 1.0, 1.0, 1.0, 1.0, 4.0, 1.0, 1.0, 1.0, 1.0};
    EXPECT_THROW(korvex::runRing(ring, viewOf(backwards), names, {{0.0}, {0.0}}, 1.0), std::invalid_argument);
    EXPECT_THROW(korvex::runRing(ring, viewOf(backwards), names, {{0.0, 1.0}, {1.0, 0.0}}, 1.0),
                 std::invalid_argument);
    EXPECT_EQ(ring.volumeOnRing(), 0.0);
}

}  // namespace
