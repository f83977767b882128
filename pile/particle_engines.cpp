#include "pile/particle_engines.h"

#include <format>
#include <stdexcept>

#include "core/seeding.h"
#include "pile/snapshot_parts.h"

namespace korvex {

namespace {

[[noreturn]] void throwNoLayers(Engine engine) {
    throw std::runtime_error(std::format("a pile of the {} engine keeps no layers: only the layered engine "
                                         "does (engine=\"layered\")",
                                         engineName(engine)));
}

}  // namespace

FastPileEngine::FastPileEngine(const PileGeometry& geometry, std::optional<std::uint64_t> seed,
                               ParticleLog* log)
    : ParticlePileEngine(geometry, seed ? std::make_unique<SplitDrawSources>(*seed) : nullptr, log) {}

LayerTable FastPileEngine::layers() const { throwNoLayers(Engine::fast); }

void FastPileEngine::checkSavable() const {
    if (!random_) {
        throw std::runtime_error(
            "a pile drawing from the random sources the whole process shares cannot be saved: give it a "
            "seed");
    }
}

void FastPileEngine::save(SnapshotWriter& out) const {
    checkSavable();
    writeRandom(out, random_->engine);
    engine_->save(out);
}

void FastPileEngine::load(SnapshotReader& in) {
    checkSavable();
    readRandom(in, random_->engine);
    engine_->load(in);
}

DetailedPileEngine::DetailedPileEngine(const PileGeometry& geometry, std::optional<std::uint64_t> seed,
                                       ParticleLog* log)
    : ParticlePileEngine(geometry, seed ? std::make_unique<std::mt19937>(seededGenerator(*seed)) : nullptr,
                         log) {}

LayerTable DetailedPileEngine::layers() const { throwNoLayers(Engine::detailed); }

void DetailedPileEngine::forgetMaterial() {
    throw std::runtime_error(
        "the detailed engine's piles cannot forget their material: only the fast and "
        "layered engines' can");
}

void DetailedPileEngine::checkSavable() const {
    throw std::runtime_error(
        "a pile of the detailed engine cannot be saved: its particles are bodies in a physics world "
        "that has no snapshot; use the fast engine");
}

void DetailedPileEngine::save(SnapshotWriter&) const { checkSavable(); }

void DetailedPileEngine::load(SnapshotReader&) { checkSavable(); }

}  // namespace korvex
