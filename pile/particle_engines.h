#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <utility>

#include "core/pile_engine.h"
#include "core/settings.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"
#include "fast/random_sources.h"

namespace korvex {

/// A particle engine (one derived from Korvex, the base _korvex_lib drives) seen as a PileEngine: chunks
/// go through the base's cutting into particles, the whole reclaim is reclaimPile's, slice by slice. Owns
/// the engine and, for a seeded pile, the random sources it draws from, released after it.
template <class Engine, class Sources>
class ParticlePileEngine : public PileEngine {
public:
    void stack(float x_m, float z_m, const AveragedParameters& material) override {
        engine_->stack(x_m, z_m, material);
    }
    void stackTable(const TableView& table, const ChunkColumns& columns) override {
        stackChunks(*engine_, table, columns);
    }
    /// The base's reclaim loop; the remainder smaller than one particle goes with the last slice.
    std::vector<ReclaimedSlice> reclaimWhole(float increment_m) override {
        return reclaimPile(*engine_, increment_m);
    }
    void settle() override { engine_->finishStacking(); }
    std::span<const float> heights_m() override {
        engine_->finishStacking();
        engine_->updateHeapMap();
        return engine_->heights();
    }
    double stackedVolume_m3() const override { return engine_->stackedVolume(); }
    std::optional<std::size_t> qualityCount() const override { return engine_->fixedParameterCount(); }
    void setInterruptCheck(std::function<void()> check) override {
        engine_->setInterruptCheck(std::move(check));
    }

    /// The engine behind the interface.
    Engine& engine() { return *engine_; }
    const Engine& engine() const { return *engine_; }

protected:
    /// An empty pile on `geometry`, drawing from `random` when given, else from what the process shares;
    /// every particle that comes to rest is entered into `log` when there is one, which must outlive it.
    ParticlePileEngine(const PileGeometry& geometry, std::unique_ptr<Sources> random, ParticleLog* log)
        : random_(std::move(random)),
          engine_(random_ ? std::make_unique<Engine>(geometry, *random_)
                          : std::make_unique<Engine>(geometry)) {
        engine_->setParticleLog(log);
    }

    /// Declared before the engine, which draws from them, so that they outlive it; null for a pile drawing
    /// from the sources the whole process shares.
    const std::unique_ptr<Sources> random_;
    const std::unique_ptr<Engine> engine_;
};

/// The fast engine behind a pile: it keeps no layers, forgets its material and is saved with its random
/// sources when it has its own.
class FastPileEngine final : public ParticlePileEngine<KorvexFast<AveragedParameters>, SplitDrawSources> {
public:
    FastPileEngine(const PileGeometry& geometry, std::optional<std::uint64_t> seed, ParticleLog* log);

    LayerTable layers() const override;
    void forgetMaterial() override { engine_->forgetMaterial(); }
    /// Throws std::runtime_error for a pile drawing from the random sources the whole process shares.
    void checkSavable() const override;
    /// The random sources' state, then the engine's.
    void save(SnapshotWriter& out) const override;
    void load(SnapshotReader& in) override;
};

/// The detailed engine behind a pile: its bodies live in a physics world, which has no snapshot and
/// cannot forget its material.
class DetailedPileEngine final : public ParticlePileEngine<KorvexDetailed<AveragedParameters>, std::mt19937> {
public:
    DetailedPileEngine(const PileGeometry& geometry, std::optional<std::uint64_t> seed, ParticleLog* log);

    LayerTable layers() const override;
    /// Throws std::runtime_error.
    void forgetMaterial() override;
    /// Throws std::runtime_error.
    void checkSavable() const override;
    void save(SnapshotWriter& out) const override;
    void load(SnapshotReader& in) override;
};

}  // namespace korvex
