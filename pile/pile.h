#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/layer_table.h"
#include "core/particle_log.h"
#include "core/reclaim_pile.h"
#include "core/settings.h"
#include "core/snapshot.h"

namespace korvex {

class PileEngine;

namespace testing {
struct EngineAccess;
}  // namespace testing

/// What a stacking call that was interrupted tells its caller: it stacked `stacked_m3` of what it was
/// given, and nothing of the rest.
std::string interruptedStackNote(double stacked_m3);

/// One stockpile with its engine: what both Python faces stand on. Owns the engine, which it drives through
/// PileEngine alone, the particle log, and the names of the quality values, which the first table stacked
/// fixes for the pile's whole life.
class Pile {
public:
    /// Throws the SettingsError of checkSettings, naming every setting the engine or the reclaim step cannot
    /// work with.
    explicit Pile(const PileSettings& settings);
    /// The pile that save wrote into `in`, which it reads to the end; `kind` is the one snapshotKind gave
    /// the saved pile. Throws SnapshotError for a damaged payload.
    Pile(SnapshotReader& in, SnapshotKind kind);
    ~Pile();

    Pile(const Pile&) = delete;
    Pile& operator=(const Pile&) = delete;

    /// Stacks one chunk at (x, z); the quality values are positional.
    void stack(float x, float z, const AveragedParameters& material);
    /// Stacks every row of `table` in order, its columns named by `columns` ("timestamp", "x", "z",
    /// "volume", anything else a quality value). Checks the whole table, and that its quality columns
    /// are those of earlier tables, before stacking any row; throws std::invalid_argument otherwise.
    void stackTable(const TableView& table, std::span<const std::string> columns);
    /// Reclaims the whole pile at the pile's own reclaim step. An interrupt leaves the pile with nothing
    /// taken: the fast engine's reclaim looks for none, the detailed engine's only while its boxes settle,
    /// before it takes anything, and the layered engine's cuts every slice before its bed changes.
    std::vector<ReclaimedSlice> reclaim();
    /// Reclaims the whole pile at positions `increment` apart, after checking the step as the
    /// constructor checks the pile's own.
    std::vector<ReclaimedSlice> reclaim(float increment);
    /// Brings the height grid up to date once stacking has finished; heights()[j * width + i] is
    /// column i along x in row j across z, in metres.
    std::span<const float> heights();
    std::uint32_t heightsWidth() const { return geometry_.columns; }
    std::uint32_t heightsDepth() const { return geometry_.rows; }

    /// Every segment a pile of the layered engine still holds (see LayerTable). Throws std::runtime_error,
    /// naming the engine, for the other engines, which keep particles or cubes, not layers.
    LayerTable layers() const;

    /// Writes the whole pile, its settings and random sources included, so that the pile read back goes on
    /// exactly as this one would. Throws std::runtime_error for a pile of the detailed engine, whose
    /// bodies live in a physics world, and for a fast one that draws from the random sources the whole
    /// process shares, before writing anything.
    void save(SnapshotWriter& out) const;
    /// The kind of snapshot save writes: the layered engine's piles have their own.
    SnapshotKind snapshotKind() const;
    /// Forgets the material on the pile but keeps its surface and random state (see
    /// PileEngine::forgetMaterial): what is stacked next, with quality values of its own, lands as it would
    /// have and shows alone in the slices. Throws std::runtime_error for the detailed engine.
    void forgetMaterial();

    /// Called now and then during long calls; what it throws ends the call.
    void setInterruptCheck(std::function<void()> check);
    /// Volume stacked since construction (a loaded pile of the layered engine: since loading), cubic metres;
    /// an interrupted call adds exactly what it stacked.
    double stackedVolume() const;

    /// The names of the quality values, from the first table stacked.
    const std::vector<std::string>& qualityNames() const { return qualityNames_; }
    /// The log of settled particles; null unless asked for.
    const ParticleLog* particleLog() const { return particleLog_.get(); }
    /// Brings the log up to date (the detailed engine logs a particle as it comes to rest) and returns it.
    const ParticleLog* settledParticles();
    const std::optional<std::uint64_t>& seed() const { return seed_; }
    float reclaimIncrement() const { return geometry_.reclaimIncrement; }
    /// Edge of a height-map cell in metres: the fast or layered engine's grid cell, the detailed engine's box.
    float cellSize() const { return geometry_.cellSize; }
    /// The checked settings and what follows from them.
    const PileGeometry& geometry() const { return geometry_; }

private:
    friend struct testing::EngineAccess;

    const std::optional<std::uint64_t> seed_;
    const PileGeometry geometry_;
    /// The layered engine's own settings, kept for the snapshot's header and the reclaim step's check.
    const LayeredSettings layered_;
    // Declared before the engine, which writes to it, so that it outlives it.
    std::unique_ptr<ParticleLog> particleLog_;
    std::unique_ptr<PileEngine> engine_;
    std::vector<std::string> qualityNames_;
};

}  // namespace korvex
