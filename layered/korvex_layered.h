#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/configuration.h"
#include "core/interrupt_poll.h"
#include "core/layer_table.h"
#include "core/pile_engine.h"
#include "core/reclaim_pile.h"
#include "core/settings.h"
#include "layered/critical_slope_fill.h"
#include "layered/layered_column.h"

namespace korvex {

namespace testing {
struct EngineAccess;
}  // namespace testing

/// The layered engine: a deterministic, grid-converging simulator of a straight bed. Each chunk stacked is
/// one delivery that comes to rest as a critical-slope pile would (CriticalSlopeFill): the surface's
/// slopes never exceed the angle of repose, and where the material goes is set by that angle and the
/// stream's footprint, in metres. Every column keeps what was laid on it as segments (LayeredColumn), so a
/// layer thinner than a cell stays a layer; the inclined reclaim face cuts them by exact geometry.
///
/// It cuts nothing into particles: each chunk is laid whole, so nothing is ever pending. Its state is plain
/// numbers (heights, columns, counters), so that it can be saved and loaded; the fill's scratch space is no
/// part of it.
class KorvexLayered final : public PileEngine {
public:
    /// An empty bed on the checked `geometry` of a pile with these layered settings.
    KorvexLayered(const PileGeometry& geometry, const LayeredSettings& settings);
    /// The bed on `configuration` as checkSettings checks it for the layered engine; throws its
    /// SettingsError.
    KorvexLayered(const KorvexConfiguration& configuration, const LayeredSettings& settings);

    /// Checks the chunk as the other engines do, and that the bed with its count of quality values stays
    /// within layeredMemoryBytes's bound, then lays it whole as one delivery at (x_m, z_m); a position off
    /// the bed drops at the nearest point on it. An interrupt check that throws does so before anything
    /// changes: a delivery is laid whole or not at all. Stacking after a reclaim sends the reclaimer back to
    /// the start, as on the fast engine.
    void stack(float x_m, float z_m, const AveragedParameters& material) override;
    void stackTable(const TableView& table, const ChunkColumns& columns) override;
    /// Reclaims the whole bed at positions 0, increment, 2 increment, ... (summed in single precision) until
    /// the face has passed the far end of the material: the slices reclaimPile would return, bit for bit.
    /// Every slice is cut from copies of the columns before the bed changes, so that an interrupt check
    /// that throws leaves the bed as it was, nothing taken. Throws as reclaimPile does, before anything is
    /// taken, for a step that cannot reach the end of the bed.
    std::vector<ReclaimedSlice> reclaimWhole(float increment_m) override;
    /// Nothing to wait for: every delivery comes to rest when it is stacked.
    void settle() override {}
    /// Every column's height as stacked (reclaiming leaves them, as on the fast engine).
    std::span<const float> heights_m() override;
    /// Volume laid since construction or loading, cubic metres.
    double stackedVolume_m3() const override { return delivered_m3; }
    std::optional<std::size_t> qualityCount() const override { return parameterCount; }
    void setInterruptCheck(std::function<void()> check) override { interrupts.set(std::move(check)); }
    /// Every segment with material left in it (see LayerTable).
    LayerTable layers() const override;
    /// Forgets the material while keeping the surface: the columns keep their heights but no segments,
    /// nothing is held and the parameter count is free again, so that what is stacked next, with any
    /// quality values, lands as it would have on this pile and shows alone in the slices and layers. The
    /// delivery count goes on.
    void forgetMaterial() override;
    /// A layered bed can always be saved.
    void checkSavable() const override {}
    /// Writes everything that decides what this pile does next but its settings, which its owner keeps:
    /// the columns, the reclaimer's progress, the counters and the count of quality values.
    void save(SnapshotWriter& out) const override;
    /// Reads what save wrote into this pile, built from the same settings. Throws SnapshotError for columns
    /// or counts that no stacking leaves; the pile is then of no further use.
    void load(SnapshotReader& in) override;

    /// Empties the bed: heights, columns, the reclaimer's progress and the count of deliveries.
    void clear();
    /// Nothing to wait for (see settle); with reclaim, reclaimingFinished and reclaimReach, what reclaimPile
    /// reclaims slice by slice with.
    void finishStacking() {}
    /// True once the face has passed the far end of every column that holds material.
    bool reclaimingFinished() const;
    /// Takes what lies between the face reached so far and the face at `position` (x - y / tan(angle) <
    /// position); a position behind the one reached takes nothing. The interrupt check is called before
    /// anything is taken, never during the cut.
    AveragedParameters reclaim(float position);
    /// How far along the bed, metres, the reclaimer may have to go: twice the sum of length and depth.
    double reclaimReach() const;
    /// The material still on the bed, cubic metres.
    double heldVolume() const { return heldVolume_m3; }

    /// What stackChunks checks a table against, as stack checks a chunk: the largest magnitude of a
    /// quality value, the count of quality values, the bed's room for `volume_m3` more, and, until the
    /// first material fixes the count, whether a bed with `qualities` quality values stays within the
    /// memory bound (what a column keeps is bounded by its segments, not by the volume stacked).
    double qualityLimit() const;
    void checkParameterCount(std::size_t count) const;
    void checkRoomFor(double volume_m3) const;
    void checkMemoryFor(double volume_m3, std::size_t qualities) const;
    /// Calls the interrupt check on every 1024th call.
    void pollInterrupt() { interrupts.poll(); }

    /// The layered settings the engine was built with.
    const LayeredSettings& layeredSettings() const { return layered; }
    /// Height-map cells along x and rows along z.
    std::uint32_t heapMapColumns() const { return width; }
    std::uint32_t heapMapRows() const { return depth; }
    /// Surface height per cell, metres, row-major as the heap map, in double precision.
    std::span<const double> surface_m() const { return height_m; }
    /// What the column of cell (row * heapMapColumns() + column) holds.
    const LayeredColumn& column(std::size_t cell) const { return columns[cell]; }
    /// Numbers per segment: volume, delivery sum, one sum per quality value; 0 before the first delivery.
    std::size_t segmentStride() const { return stride; }

private:
    friend struct testing::EngineAccess;

    /// One slice's cut: its faces, the columns along x it can take from, and whether it passes the far end
    /// of the material, taking everything.
    struct Cut {
        double from_m;
        double to_m;
        std::uint32_t first;
        std::uint32_t end;
        bool last;
    };
    /// The cut from the face at `from_m` to the face at `to_m`. Only columns whose near edge the face's top
    /// has passed, and whose far edge its foot has not, can give anything between the two faces.
    Cut cutBetween(double from_m, double to_m) const;
    /// Moves what `cut` takes from `column`, column `i` along x, into `taken`.
    void cutColumn(LayeredColumn& column, std::uint32_t i, const Cut& cut, std::span<double> taken) const;
    void deliver(double x_m, double z_m, const AveragedParameters& material);
    /// Lays `thickness_m` of `row` on the column of `cell` and follows the surface, the highest column and
    /// the material's far end.
    void layOnCell(std::size_t cell, double thickness_m, std::span<const double> row);
    /// Forgets where the reclaimer got to, so that the next reclaim starts again from the start.
    void rewindReclaimer();
    /// Works out the surface, the highest column and the material's far end from the columns.
    void followColumns();

    const KorvexConfiguration configuration;
    const LayeredSettings layered;
    const std::uint32_t width;
    const std::uint32_t depth;
    /// Tangent of the angle of repose: the steepest slope of the surface.
    const double reposeSlope;
    /// Horizontal run of the reclaim face per metre of height; 0 for a vertical face.
    const double faceRun;

    /// Surface height per cell, metres, row-major as the heap map.
    std::vector<double> height_m;
    /// height_m in single precision, as heights_m hands it out.
    std::vector<float> heapMap;
    /// What each cell's column holds, row-major as the heap map.
    std::vector<LayeredColumn> columns;
    std::size_t stride = 0;
    /// Deliveries laid since construction or the last clear; the index of the next one.
    std::uint64_t deliveries = 0;
    /// Where the reclaim face has got to, metres; -infinity before the first reclaim.
    double reclaimedTo_m;
    /// Far end of the furthest column that holds material, metres; -infinity on an empty bed.
    double materialEnd_m;
    double heldVolume_m3 = 0.0;
    double delivered_m3 = 0.0;
    /// The count of quality values fixed by the first material stacked; empty until then.
    std::optional<std::size_t> parameterCount;
    InterruptPoll interrupts;
    /// Highest column, metres: the face reaches no further ahead of its foot than this times faceRun.
    double highest_m = 0.0;

    /// Scratch space, no part of the state.
    CriticalSlopeFill fill;
    std::vector<double> row;
};

}  // namespace korvex
