#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/configuration.h"
#include "core/korvex.h"
#include "core/particle_log.h"
#include "core/reclaim_pile.h"
#include "core/snapshot.h"
#include "fast/random_sources.h"
#include "layered/layered_settings.h"

namespace korvex {

/// Which engine stands behind a pile.
enum class Engine { fast, detailed, layered };

/// How a pile is set up: the engine's configuration, the engine, the step between reclaim positions
/// and where the engine draws its random numbers from.
struct PileSettings {
    KorvexConfiguration configuration;
    Engine engine = Engine::fast;
    /// The layered engine's own settings; the other engines do not read them.
    LayeredSettings layered;
    /// Metres between two reclaim positions; by default the edge of a height-map cell.
    std::optional<float> reclaimIncrement;
    /// Random sources of the pile's own, started from this seed (for the fast engine, SplitDrawSources: one
    /// engine output a descent step); without one the engine draws from the sources the whole process
    /// shares, exactly as the module's simulators always have.
    std::optional<std::uint64_t> seed;
    /// Keep a log of where every particle came to rest (not on the layered engine, which has no particles).
    bool logParticles = false;
};

/// What a stacking call that was interrupted tells its caller: it stacked `stacked_m3` of what it was
/// given, and nothing of the rest.
std::string interruptedStackNote(double stacked_m3);

/// One stockpile with its engine: what both Python faces stand on. Owns the engine, the random sources
/// the engine draws from when it has its own, the particle log, and the names of the quality values,
/// which the first table stacked fixes for the pile's whole life.
class Pile {
public:
    /// Throws std::invalid_argument naming the setting that the engine or the reclaim step cannot work
    /// with, std::length_error for a grid of 2^32 cells or more.
    explicit Pile(const PileSettings& settings);
    /// The pile that save wrote into `in`, which it reads to the end; throws SnapshotError for a damaged
    /// payload.
    explicit Pile(SnapshotReader& in);
    ~Pile();

    Pile(const Pile&) = delete;
    Pile& operator=(const Pile&) = delete;

    /// Stacks one chunk at (x, z); the quality values are positional.
    void stack(float x, float z, const AveragedParameters& material);
    /// Stacks every row of `table` in order, its columns named by `columns` ("timestamp", "x", "z",
    /// "volume", anything else a quality value). Checks the whole table, and that its quality columns
    /// are those of earlier tables, before stacking any row; throws std::invalid_argument otherwise.
    void stackTable(const TableView& table, std::span<const std::string> columns);
    /// Reclaims the whole pile at the pile's own reclaim step.
    std::vector<ReclaimedSlice> reclaim();
    /// Reclaims the whole pile at positions `increment` apart, after checking the step as the
    /// constructor checks the pile's own.
    std::vector<ReclaimedSlice> reclaim(float increment);
    /// Brings the height grid up to date once stacking has finished; heights()[j * width + i] is
    /// column i along x in row j across z, in metres.
    std::span<const float> heights();
    std::uint32_t heightsWidth() const { return simulator_->heapMapWidth; }
    std::uint32_t heightsDepth() const { return simulator_->heapMapDepth; }

    /// Writes the whole pile, its settings and random sources included, so that the pile read back goes on
    /// exactly as this one would. Throws std::runtime_error for a pile of the detailed engine, whose
    /// bodies live in a physics world, and for one that draws from the random sources the whole process
    /// shares.
    void save(SnapshotWriter& out) const;
    /// Forgets the material on the pile but keeps its surface and random state (see
    /// KorvexFast::forgetMaterial): what is stacked next, with quality values of its own, lands as it would
    /// have and shows alone in the slices. Throws std::runtime_error for the detailed engine.
    void forgetMaterial();

    /// Called now and then during long calls; what it throws ends the call (see Korvex::interruptCheck).
    void setInterruptCheck(std::function<void()> check);
    /// Volume stacked since construction, cubic metres; an interrupted call adds exactly what it stacked.
    double stackedVolume() const { return simulator_->stackedVolume(); }

    /// The names of the quality values, from the first table stacked.
    const std::vector<std::string>& qualityNames() const { return qualityNames_; }
    /// The log of settled particles; null unless asked for.
    const ParticleLog* particleLog() const { return particleLog_.get(); }
    /// Brings the log up to date (the detailed engine logs a particle as it comes to rest) and returns it.
    const ParticleLog* settledParticles();
    const std::optional<std::uint64_t>& seed() const { return seed_; }
    float reclaimIncrement() const { return reclaimIncrement_; }
    /// Edge of a height-map cell in metres: the fast or layered engine's grid cell, the detailed engine's box.
    float cellSize() const { return cellSize_; }
    Korvex<AveragedParameters>& simulator() { return *simulator_; }

private:
    const std::optional<std::uint64_t> seed_;
    float cellSize_ = 0.0f;
    float reclaimIncrement_ = 0.0f;
    // Declared before the engine, which draws from them and writes to it, so that they outlive it.
    std::unique_ptr<SplitDrawSources> fastRandom;
    std::unique_ptr<std::mt19937> dropGenerator;
    std::unique_ptr<ParticleLog> particleLog_;
    std::unique_ptr<Korvex<AveragedParameters>> simulator_;
    std::vector<std::string> qualityNames_;
};

}  // namespace korvex
