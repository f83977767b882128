#include "pile/pile.h"

#include <format>
#include <stdexcept>
#include <utility>

#include "core/pile_engine.h"
#include "layered/korvex_layered.h"
#include "pile/particle_engines.h"
#include "pile/snapshot_parts.h"

namespace korvex {

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i ? ", \"" : "\"") + names[i] + "\"";
    }
    return text + "]";
}

void writeLayeredSettings(SnapshotWriter& out, const LayeredSettings& settings) {
    out.f64(settings.cell_m.value());
    out.f64(settings.reposeAngle_deg);
    out.f64(settings.streamFootprint_m);
    out.u64(settings.segmentsPerColumn);
}

LayeredSettings readLayeredSettings(SnapshotReader& in) {
    LayeredSettings settings;
    settings.cell_m = in.f64();
    settings.reposeAngle_deg = in.f64();
    settings.streamFootprint_m = in.f64();
    settings.segmentsPerColumn = static_cast<std::size_t>(in.u64());
    return settings;
}

/// Reads the settings save wrote first, and checks that the payload can hold the grid they make. A pile
/// of the layered engine keeps its own settings and may have no seed, for it draws nothing.
PileSettings settingsFrom(SnapshotReader& in, SnapshotKind kind) {
    PileSettings settings;
    settings.configuration = readConfiguration(in);
    settings.reclaimIncrement = in.f32();
    if (kind == SnapshotKind::layeredPile) {
        settings.engine = Engine::layered;
        const bool seeded = in.flag();
        const std::uint64_t seed = in.u64();
        if (seeded) {
            settings.seed = seed;
        }
        settings.layered = readLayeredSettings(in);
    } else if (kind == SnapshotKind::pile) {
        settings.seed = in.u64();
        settings.logParticles = in.flag();
    } else {
        throw SnapshotError("a pile cannot be read from a snapshot of another kind");
    }
    const PileGeometry geometry = snapshotGeometry(settings);
    // A layered column writes at least its segment count, height and how far the reclaimer got; the fast
    // engine a cube count per cell.
    requireGrid(in, geometry.columns, geometry.rows, kind == SnapshotKind::layeredPile ? 28 : 4);
    return settings;
}

std::unique_ptr<PileEngine> engineFor(const PileGeometry& geometry, const PileSettings& settings,
                                      ParticleLog* log) {
    switch (geometry.engine) {
        case Engine::detailed:
            return std::make_unique<DetailedPileEngine>(geometry, settings.seed, log);
        case Engine::layered:
            // Deterministic: the seed is kept for the caller's record and draws nothing here.
            return std::make_unique<KorvexLayered>(geometry, settings.layered);
        case Engine::fast:
            break;
    }
    return std::make_unique<FastPileEngine>(geometry, settings.seed, log);
}

}  // namespace

std::string interruptedStackNote(double stacked_m3) {
    return std::format("the interrupted call stacked {:.17g} m3; the rest of what it was given was not "
                       "stacked and nothing of it is pending",
                       stacked_m3);
}

Pile::Pile(const PileSettings& settings)
    : seed_(settings.seed),
      geometry_(checkedGeometry(settings)),
      layered_(resolvedLayeredSettings(settings.layered, settings.configuration)),
      particleLog_(settings.logParticles ? std::make_unique<ParticleLog>() : nullptr),
      engine_(engineFor(geometry_, settings, particleLog_.get())) {}

Pile::Pile(SnapshotReader& in, SnapshotKind kind) : Pile(settingsFrom(in, kind)) {
    qualityNames_ = readNames(in);
    engine_->load(in);
    if (particleLog_) {
        particleLog_->load(in);
    }
    in.finish();
    const std::optional<std::size_t> count = engine_->qualityCount();
    if (!qualityNames_.empty() && count && *count != qualityNames_.size()) {
        throw SnapshotError("snapshot is corrupt: it names " + std::to_string(qualityNames_.size()) +
                            " quality values where its material has " + std::to_string(*count));
    }
}

SnapshotKind Pile::snapshotKind() const {
    return geometry_.engine == Engine::layered ? SnapshotKind::layeredPile : SnapshotKind::pile;
}

Pile::~Pile() = default;

double Pile::stackedVolume() const { return engine_->stackedVolume_m3(); }

void Pile::forgetMaterial() {
    engine_->forgetMaterial();
    if (particleLog_) {
        particleLog_->clear();
    }
    qualityNames_.clear();
}

LayerTable Pile::layers() const { return engine_->layers(); }

void Pile::save(SnapshotWriter& out) const {
    engine_->checkSavable();
    // The geometry keeps the configuration as given.
    writeConfiguration(out, geometry_.configuration);
    out.f32(geometry_.reclaimIncrement);
    if (snapshotKind() == SnapshotKind::layeredPile) {
        out.flag(seed_.has_value());
        out.u64(seed_.value_or(0));
        writeLayeredSettings(out, layered_);
    } else {
        // A particle engine that can be saved draws from sources of its own, started from the seed.
        out.u64(seed_.value_or(0));
        out.flag(particleLog_ != nullptr);
    }
    writeGridAndNames(out, geometry_.columns, geometry_.rows, qualityNames_);
    engine_->save(out);
    if (particleLog_) {
        particleLog_->save(out);
    }
}

void Pile::stack(float x, float z, const AveragedParameters& material) { engine_->stack(x, z, material); }

void Pile::stackTable(const TableView& table, std::span<const std::string> columns) {
    auto roles = resolveChunkColumns(columns, table.columns);
    // The i-th name labels the i-th averaged value for the pile's whole life, so every table must bring
    // the quality columns the first one brought.
    if (!qualityNames_.empty() && roles.parameterNames != qualityNames_) {
        throw std::invalid_argument("quality columns " + joined(roles.parameterNames) +
                                    " differ from the pile's " + joined(qualityNames_));
    }
    validateChunks(table, roles);
    // The names label the values once material has brought them, even if a signal ends the call midway; a
    // table refused before its first row fixes nothing.
    try {
        engine_->stackTable(table, roles);
    } catch (...) {
        if (qualityNames_.empty() && engine_->qualityCount() == roles.parameterNames.size()) {
            qualityNames_ = roles.parameterNames;
        }
        throw;
    }
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(roles.parameterNames);
    }
}

std::vector<ReclaimedSlice> Pile::reclaim() { return engine_->reclaimWhole(geometry_.reclaimIncrement); }

std::vector<ReclaimedSlice> Pile::reclaim(float increment) {
    if (auto problem = reclaimStepProblem(increment, reclaimReach_m(geometry_.configuration))) {
        throw SettingsError({std::move(*problem)});
    }
    return engine_->reclaimWhole(increment);
}

std::span<const float> Pile::heights() { return engine_->heights_m(); }

void Pile::setInterruptCheck(std::function<void()> check) { engine_->setInterruptCheck(std::move(check)); }

const ParticleLog* Pile::settledParticles() {
    if (particleLog_) {
        engine_->settle();
    }
    return particleLog_.get();
}

}  // namespace korvex
