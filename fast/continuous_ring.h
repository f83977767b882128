#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "fast/ring_slices.h"
#include "core/korvex.h"
#include "core/settings.h"
#include "fast/column_counts.h"
#include "fast/descent.h"
#include "fast/random_sources.h"

namespace korvex {

/// A circular bed run continuously: stacking and reclaiming interleave on one ring of columns, the
/// reclaimer following the stacker round and round. Particles descend as on the fast engine's grid, but
/// each keeps its place in its column together with the time it was stacked, and the reclaimer lowers
/// every column its face cuts, so the next turn stacks onto reclaimed ground. A particle leaves with the
/// first pass of the reclaimer that reaches it after it was stacked.
///
/// Positions along the ring are metres on the centre line, counted from the -x side of the ring centre
/// the way the stacker and reclaimer travel, and keep growing turn after turn.
class ContinuousRing : public Korvex<AveragedParameters> {
public:
    /// An empty ring on the checked `geometry`. Draws its descent steps from `random`, which must outlive it.
    ContinuousRing(const RingGeometry& geometry, SplitDrawSources& random);
    /// The ring of centre-line radius `ringRadius` metres about the centre of the bed area on
    /// `configuration`, as checkSettings checks it; throws its SettingsError.
    ContinuousRing(const KorvexConfiguration& configuration, float ringRadius, SplitDrawSources& random);

    /// Empties every column; the reclaimer goes back to the start and the clock to zero.
    void clear() override;
    /// Nothing to wait for: placement is immediate.
    void finishStacking() override {}
    /// True while no particle lies on the ring.
    bool reclaimingFinished() override;
    /// Advances the reclaimer to `position` (metres on the centre line) at the current clock and returns
    /// what its face takes; a position behind the reclaimer takes nothing.
    AveragedParameters reclaim(float position) override;
    /// Places a particle where the descent from the column under (x, z) stops, stamped with the clock.
    /// Throws ParameterCountError when its parameter count differs from earlier
    /// particles', before anything changes.
    void dropParticle(float x, float z, const AveragedParameters& particle) override;
    /// Writes every column's height into the heap map.
    void updateHeapMap() override;
    /// The volume lying on the ring.
    double heldVolume() const override { return volumeOnRing(); }
    double bytesPerHeldParticle(std::size_t qualities) const override;

    /// Sets the time, in seconds, that particles dropped from now on are stamped with and that cuts are
    /// made at.
    void setClock(double time_s) { clock_s = time_s; }
    double clock() const { return clock_s; }
    /// Advances the reclaimer to `position_m` at the clock, lowering every column its face cuts at every
    /// radius, and returns the material taken. A position behind the reclaimer takes nothing.
    RingCut cut(double position_m);
    /// Where the reclaimer's foot stands, metres on the centre line.
    double reclaimerPosition() const { return reclaimer_m; }
    /// Volume lying on the ring, m3.
    double volumeOnRing() const;
    /// Writes everything that decides what this ring does next, but its configuration and random
    /// sources, which its owner keeps: every cube with its time and values, the clock, the reclaimer.
    void save(SnapshotWriter& out) const;
    /// Reads what save wrote into this ring, built from the same configuration. Throws SnapshotError for
    /// a damaged state; the ring is then of no further use.
    void load(SnapshotReader& in);

    /// Everything stacking and cutting change on a ring, taken whole so that a call refused or interrupted
    /// midway can be undone.
    struct State {
        ColumnCounts columnCounts;
        std::vector<std::vector<double>> cubes;
        std::size_t qualityCount;
        bool qualityCountKnown;
        double clock_s;
        double reclaimer_m;
        std::int64_t cubesOnRing;
        AveragedParameters pendingMaterial;
        std::optional<std::size_t> parameterCount;
        std::uint64_t particlesDropped;
    };
    /// A copy of the ring's state; as large as what lies on the ring.
    State state() const;
    /// Puts the ring back into `saved`, allocating nothing.
    void restore(State&& saved) noexcept;

    float cellSize() const { return cellSize_; }
    double ringRadius() const { return ringRadius_; }
    /// Tangent of the reclaim angle; +infinity for a vertical face.
    double reclaimSlope() const { return reclaimSlope_; }
    /// Length of the centre line, metres.
    double circleLength() const { return circleLength_; }
    /// Cubes per column, bordered as on the fast engine's grid.
    const ColumnCounts& columnCounts() const { return columnCounts_; }

private:
    friend struct testing::EngineAccess;

    const float cellSize_;
    /// Where cell i's centre lies, in cell edges from i: 0.5 when cells span from the origin, else 0.
    const double cellCentreOffset;
    const double ringRadius_;
    const double reclaimSlope_;
    const double circleLength_;
    ColumnCounts columnCounts_;

    /// Takes the cubes of column `index` from height `keep` up into `cut`.
    void takeFrom(std::size_t index, std::int32_t keep, RingCut& cut);

    SplitDrawSources& random;
    StepOrders stepOrders{};
    /// Per column: its angle along the ring from the start (0 .. 2 pi, radians) and its distance from the
    /// ring centre (metres), indexed as columnCounts.data().
    std::vector<double> columnAngle;
    std::vector<double> columnRadius;
    /// Per column, per cube from the ground up: the time stacked, then the quality values.
    std::vector<std::vector<double>> cubes;
    std::size_t qualityCount = 0;
    bool qualityCountKnown = false;
    double clock_s = 0.0;
    double reclaimer_m = 0.0;
    std::int64_t cubesOnRing = 0;
};

/// Throws std::invalid_argument unless the schedule has at least one point, equally many times and
/// positions, all finite, and both non-decreasing.
void validateSchedule(const ReclaimerSchedule& schedule);

/// Most slices one run may cut: each is a record of its own and each cut walks the whole ring.
inline constexpr double maxSlicesPerRun = 1e7;

/// Stacks the rows of `table` in order ("timestamp" the time each is stacked, in non-decreasing order)
/// while the reclaimer follows `schedule`, cutting a slice at every `step_m` of its travel from the
/// schedule's first position to its last. Before a row is stacked, every slice the reclaimer finishes
/// by the row's time is cut. A slice's material counts as cut half-way through the slice's time, for
/// its residence. A schedule that starts ahead of the reclaimer first moves it there, and what it takes
/// on the way is the first slice, at the schedule's first time. Checks the whole table first and throws
/// std::invalid_argument for a missing or decreasing time stamp, for what stackChunks refuses and for a
/// schedule that would cut more than maxSlicesPerRun slices.
std::vector<RingSlice> runRing(ContinuousRing& ring, const TableView& table,
                               std::span<const std::string> names, const ReclaimerSchedule& schedule,
                               double step_m);

/// Cuts slices `step_m` apart from the reclaimer's position until the ring is empty, at most a whole
/// turn on, which passes the foot over every column; times advance from the clock at `speed_m_per_s`.
/// The last slice also takes the remainder smaller than a particle that never reached the ring.
std::vector<RingSlice> drainRing(ContinuousRing& ring, double step_m, double speed_m_per_s);

}  // namespace korvex
