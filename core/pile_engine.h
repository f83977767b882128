#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/chunk_table.h"
#include "core/layer_table.h"
#include "core/reclaim_pile.h"
#include "core/snapshot.h"

namespace korvex {

/// What a pile needs of an engine, whatever the engine keeps: chunks stacked at a place, the whole pile
/// reclaimed, its heights and what it holds, and its state saved and loaded where the engine can. Positions
/// are metres along (x) and across (z) the bed, volumes cubic metres; how an engine cuts material up, into
/// particles or layers, stays behind it.
class PileEngine {
public:
    PileEngine() = default;
    PileEngine(const PileEngine&) = delete;
    PileEngine& operator=(const PileEngine&) = delete;
    virtual ~PileEngine() = default;

    /// Stacks `material` as one chunk delivered at (x_m, z_m). Throws, before anything changes,
    /// std::invalid_argument for material the bed cannot take (a negative or non-finite volume or position,
    /// more than its room or memory bound, a quality value beyond its bound) and ParameterCountError for a
    /// count of quality values other than the one fixed. What the interrupt check throws ends the call with
    /// stackedVolume_m3() grown by exactly what went on.
    virtual void stack(float x_m, float z_m, const AveragedParameters& material) = 0;
    /// Stacks every row of `table` as one chunk, in row order, after refusing the whole table as stack
    /// refuses a chunk (see stackChunks).
    virtual void stackTable(const TableView& table, const ChunkColumns& columns) = 0;
    /// Reclaims the whole pile with faces at 0, increment_m, 2 increment_m, ... until nothing is left, and
    /// returns one slice per face. Throws std::invalid_argument, taking nothing, for a step that cannot reach
    /// the end of the bed. An interrupt leaves the pile with nothing taken.
    virtual std::vector<ReclaimedSlice> reclaimWhole(float increment_m) = 0;
    /// Returns once everything stacked has come to rest.
    virtual void settle() = 0;
    /// Surface height per height-map cell, metres, once settled: element j * columns + i is column i along
    /// x in row j across z.
    virtual std::span<const float> heights_m() = 0;
    /// Volume stacked since the engine was built or loaded, cubic metres, whether on the bed or still
    /// pending (a particle engine's remainder smaller than one particle, which waits for the next chunk).
    virtual double stackedVolume_m3() const = 0;
    /// The count of quality values the first material fixed; empty until then.
    virtual std::optional<std::size_t> qualityCount() const = 0;
    /// Called now and then during long calls; whatever it throws ends the call.
    virtual void setInterruptCheck(std::function<void()> check) = 0;
    /// Every segment the bed still holds. Throws std::runtime_error, naming the engine, for an engine that
    /// keeps no layers.
    virtual LayerTable layers() const = 0;
    /// Forgets the material on the bed but keeps its surface and random state, so that what is stacked
    /// next, with quality values of its own, lands as it would have and shows alone. Throws
    /// std::runtime_error for an engine that cannot.
    virtual void forgetMaterial() = 0;
    /// Throws std::runtime_error, saying why, when save cannot write this engine's state.
    virtual void checkSavable() const = 0;
    /// Writes everything that decides what the engine does next but its settings, which its owner keeps.
    /// Throws as checkSavable does.
    virtual void save(SnapshotWriter& out) const = 0;
    /// Reads what save wrote into an engine built from the same settings. Throws SnapshotError for a state
    /// no stacking leaves; the engine is then of no further use.
    virtual void load(SnapshotReader& in) = 0;
};

}  // namespace korvex
