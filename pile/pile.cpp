#include "pile/pile.h"

#include <format>
#include <stdexcept>
#include <utility>

#include "core/seeding.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"
#include "fast/random_sources.h"
#include "layered/korvex_layered.h"
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
    requireGrid(in);
    return settings;
}

}  // namespace

std::string interruptedStackNote(double stacked_m3) {
    return std::format("the interrupted call stacked {:.17g} m3; the rest of what it was given was not "
                       "stacked and nothing of it is pending",
                       stacked_m3);
}

Pile::Pile(const PileSettings& settings) : seed_(settings.seed), geometry_(checkedGeometry(settings)) {
    if (settings.logParticles) {
        particleLog_ = std::make_unique<ParticleLog>();
    }
    if (settings.engine == Engine::detailed) {
        using Detailed = KorvexDetailed<AveragedParameters>;
        if (seed_) {
            dropGenerator = std::make_unique<std::mt19937>(seededGenerator(*seed_));
            simulator_ = std::make_unique<Detailed>(geometry_, *dropGenerator);
        } else {
            simulator_ = std::make_unique<Detailed>(geometry_);
        }
    } else if (settings.engine == Engine::layered) {
        // Deterministic: the seed is kept for the caller's record and draws nothing here.
        simulator_ = std::make_unique<KorvexLayered>(geometry_, settings.layered);
    } else {
        using Fast = KorvexFast<AveragedParameters>;
        if (seed_) {
            fastRandom = std::make_unique<SplitDrawSources>(*seed_);
            simulator_ = std::make_unique<Fast>(geometry_, *fastRandom);
        } else {
            simulator_ = std::make_unique<Fast>(geometry_);
        }
    }
    simulator_->setParticleLog(particleLog_.get());
}

Pile::Pile(SnapshotReader& in, SnapshotKind kind) : Pile(settingsFrom(in, kind)) {
    qualityNames_ = readNames(in);
    if (kind == SnapshotKind::layeredPile) {
        static_cast<KorvexLayered&>(*simulator_).load(in);
    } else {
        readRandom(in, fastRandom->engine);
        static_cast<KorvexFast<AveragedParameters>&>(*simulator_).load(in);
        if (particleLog_) {
            particleLog_->load(in);
        }
    }
    in.finish();
}

SnapshotKind Pile::snapshotKind() const {
    return geometry_.engine == Engine::layered ? SnapshotKind::layeredPile : SnapshotKind::pile;
}

Pile::~Pile() = default;

double Pile::stackedVolume() const { return simulator_->stackedVolume(); }

void Pile::forgetMaterial() {
    if (auto* layered = dynamic_cast<KorvexLayered*>(simulator_.get())) {
        layered->forgetMaterial();
    } else if (auto* fast = dynamic_cast<KorvexFast<AveragedParameters>*>(simulator_.get())) {
        fast->forgetMaterial();
    } else {
        throw std::runtime_error(
            "the detailed engine's piles cannot forget their material: only the fast and "
            "layered engines' can");
    }
    if (particleLog_) {
        particleLog_->clear();
    }
    qualityNames_.clear();
}

LayerTable Pile::layers() const {
    const auto* layered = dynamic_cast<const KorvexLayered*>(simulator_.get());
    if (layered == nullptr) {
        throw std::runtime_error(
            std::format("a pile of the {} engine keeps no layers: only the layered engine "
                        "does (engine=\"layered\")",
                        engineName(geometry_.engine)));
    }
    return layered->layers();
}

void Pile::save(SnapshotWriter& out) const {
    if (const auto* layered = dynamic_cast<const KorvexLayered*>(simulator_.get())) {
        // The geometry keeps the configuration as given: the engine's own asks for chunks laid whole.
        writeConfiguration(out, geometry_.configuration);
        out.f32(geometry_.reclaimIncrement);
        out.flag(seed_.has_value());
        out.u64(seed_.value_or(0));
        writeLayeredSettings(out, layered->layeredSettings());
        writeGridAndNames(out, layered->heapMapColumns(), layered->heapMapRows(), qualityNames_);
        layered->save(out);
        return;
    }
    const auto* fast = dynamic_cast<const KorvexFast<AveragedParameters>*>(simulator_.get());
    if (fast == nullptr) {
        throw std::runtime_error(
            "a pile of the detailed engine cannot be saved: its particles are bodies in a physics world "
            "that has no snapshot; use the fast engine");
    }
    if (!fastRandom) {
        throw std::runtime_error(
            "a pile drawing from the random sources the whole process shares cannot be saved: give it a "
            "seed");
    }
    writeConfiguration(out, fast->settings());
    out.f32(geometry_.reclaimIncrement);
    out.u64(*seed_);
    out.flag(particleLog_ != nullptr);
    writeGridAndNames(out, fast->heapMapColumns(), fast->heapMapRows(), qualityNames_);
    writeRandom(out, fastRandom->engine);
    fast->save(out);
    if (particleLog_) {
        particleLog_->save(out);
    }
}

void Pile::stack(float x, float z, const AveragedParameters& material) { simulator_->stack(x, z, material); }

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
        stackChunks(*simulator_, table, roles);
    } catch (...) {
        if (qualityNames_.empty() && simulator_->fixedParameterCount() == roles.parameterNames.size()) {
            qualityNames_ = roles.parameterNames;
        }
        throw;
    }
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(roles.parameterNames);
    }
}

std::vector<ReclaimedSlice> Pile::reclaim() { return reclaimPile(*simulator_, geometry_.reclaimIncrement); }

std::vector<ReclaimedSlice> Pile::reclaim(float increment) {
    if (auto problem = reclaimStepProblem(increment, reclaimReach_m(geometry_.configuration))) {
        throw SettingsError({std::move(*problem)});
    }
    return reclaimPile(*simulator_, increment);
}

std::span<const float> Pile::heights() {
    simulator_->finishStacking();
    simulator_->updateHeapMap();
    return simulator_->heights();
}

void Pile::setInterruptCheck(std::function<void()> check) { simulator_->setInterruptCheck(std::move(check)); }

const ParticleLog* Pile::settledParticles() {
    if (particleLog_) {
        simulator_->finishStacking();
    }
    return particleLog_.get();
}

}  // namespace korvex
