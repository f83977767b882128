#include "pile/pile.h"

#include <stdexcept>
#include <utility>

#include "core/seeding.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"
#include "fast/random_sources.h"

namespace korvex {

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i ? ", \"" : "\"") + names[i] + "\"";
    }
    return text + "]";
}

}  // namespace

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

Pile::~Pile() = default;

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
    PileSettings settings;
    settings.configuration = geometry_.configuration;
    settings.engine = geometry_.engine;
    settings.reclaimIncrement = increment;
    checkedGeometry(settings);
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
