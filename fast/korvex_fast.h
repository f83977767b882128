#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "core/korvex.h"
#include "core/settings.h"
#include "fast/column_counts.h"
#include "fast/descent.h"
#include "fast/random_sources.h"

namespace korvex {

/// The grid simulator. The pile area is a grid of square columns whose cell holds one particle volume; a
/// dropped particle rolls down a randomised steepest descent and adds one cube to the column where it
/// stops. Its material goes at once into the reclaim slice that will take it out again, so reclaiming only
/// walks through the slices. Owns the column counts, the slices and the records it publishes.
template <class Material>
class KorvexFast : public Korvex<Material> {
public:
    using Record = typename Korvex<Material>::Record;

    /// An empty pile on the checked `geometry`. Draws its descent steps from `random`, which must outlive it:
    /// by default the process-wide sources.
    explicit KorvexFast(const PileGeometry& geometry, FastRandomSources& random = fastRandomSources());
    /// The same, drawing from sources of its own that take one engine output a step.
    KorvexFast(const PileGeometry& geometry, SplitDrawSources& random);
    /// The pile on `configuration` as checkSettings checks it; throws its SettingsError.
    explicit KorvexFast(const KorvexConfiguration& configuration,
                        FastRandomSources& random = fastRandomSources());
    KorvexFast(const KorvexConfiguration& configuration, SplitDrawSources& random);
    ~KorvexFast() override;

    /// Empties every column and slice and releases the published records; the reclaim position stays.
    void clear() override;
    /// The base's capacity, or less when the cube counts could not take that many particles.
    double capacity() const override;
    /// The volume of the cubes on the columns, reclaimed or not: reclaiming leaves the heights as stacked.
    double heldVolume() const override;
    /// Nothing to wait for: placement is immediate.
    void finishStacking() override;
    /// True once the reclaim position has reached half a cell before the end of the last slice.
    bool reclaimingFinished() override;
    /// Takes the material between the reclaim position reached so far and `position`, partial slices in
    /// proportion. A position below the one reached (negative or NaN included) takes nothing and leaves the
    /// reclaim position where it was.
    Material reclaim(float position) override;
    /// Places `particle` where the descent from the column under (x, z) stops; positions off the pile, NaN
    /// included, start from the nearest edge column and row. A particle placed after a reclaim sends the
    /// reclaimer back to the start, so that the next reclaim takes it. Throws std::overflow_error, changing
    /// nothing, when the column reached already holds 2147483647 cubes, and ParameterCountError when the
    /// particle's parameter count differs from its slice's (the cube is placed by then).
    void dropParticle(float x, float z, const Material& particle) override;
    /// Writes every column's height, its cube count times cellSize, into the heap map.
    void updateHeapMap() override;
    /// Writes everything that decides what this pile does next, but its configuration and random
    /// sources, which its owner keeps: columns, slices, published records, pending material, counters.
    void save(SnapshotWriter& out) const;
    /// Forgets the material while keeping the surface: the slices, the published records and the pending
    /// remainder are emptied and the parameter count is free again, so that what is stacked next, with
    /// any quality values, shows alone in the slices, landing as it would have on this pile.
    void forgetMaterial();
    /// Reads what save wrote into this pile, built from the same configuration. Throws SnapshotError for
    /// a grid of other dimensions or counts that no stacking leaves; the pile is then of no further use.
    void load(SnapshotReader& in);

    /// Edge of a grid cell in metres: a cube of this edge holds one particle volume.
    float cellSize() const { return cellSize_; }
    /// Reclaim position reached so far, in metres along the pile or its centre line.
    float lastReclaimPosition() const { return lastReclaimPosition_; }
    /// Cubes placed on the columns since construction or the last clear.
    std::uint64_t placedCubes() const { return placedCubes_; }
    /// Tangent of reclaimAngle; +infinity for a vertical face.
    float reclaimSlope() const { return reclaimSlope_; }
    /// Length of the centre line of a circular pile; 0 for a straight pile.
    double circleLength() const { return circleLength_; }
    /// Cubes per column, indexed [c][r] along x and z; heap-map cell (i, j) is [i + 1][j + 1]. The border
    /// columns and rows hold 2147483647 so that no particle ever rolls onto them.
    const ColumnCounts& columnCounts() const { return columnCounts_; }
    /// Material waiting in each reclaim slice, in reclaim order; slice k covers k to k + 1 cells.
    const std::vector<Material>& slices() const { return slices_; }

private:
    friend struct testing::EngineAccess;

    using RandomSource = std::variant<FastRandomSources*, SplitDrawSources*>;

    KorvexFast(const PileGeometry& geometry, RandomSource random);

    /// The slice that will reclaim a cube placed on column c, row r (border-based indices) with
    /// `cubesBelow` cubes under it.
    std::size_t sliceOf(std::size_t c, std::size_t r, float cubesBelow) const;
    std::size_t straightSliceOf(std::size_t c, float cubesBelow) const;
    std::size_t circularSliceOf(std::size_t c, std::size_t r, float cubesBelow) const;
    /// Empties both record queues and deletes the records, all under particlesMutex.
    void releaseRecords();

    const float cellSize_;
    float lastReclaimPosition_ = 0.0f;
    std::uint64_t placedCubes_ = 0;
    /// Where cell i's centre lies, in cell edges from i: 0.5 when cells span from the origin, else 0.
    const float cellCentreOffset;
    const float reclaimSlope_;
    const double circleLength_;
    ColumnCounts columnCounts_;
    std::vector<Material> slices_;
    RandomSource random;
    /// Where the neighbours that each draw of a step examines lie from a cell in columnCounts.data().
    StepOrders stepOrders{};
    /// The records listed in settledRecords; the queue only holds their addresses.
    std::vector<std::unique_ptr<Record>> records;
};

extern template class KorvexFast<AveragedParameters>;

}  // namespace korvex
