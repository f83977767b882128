#include "core/particle_log.h"

#include <limits>

namespace korvex {

void ParticleLog::append(std::uint64_t index, float centreX, float centreY, float centreZ,
                         const AveragedParameters& material) {
    const std::size_t before = size();
    const std::size_t qualitiesBefore = qualities;
    if (dropIndex.empty()) {
        qualities = material.sums.size();
    }
    try {
        dropIndex.push_back(index);
        x.push_back(centreX);
        y.push_back(centreY);
        z.push_back(centreZ);
        const bool hasVolume = material.volume > AveragedParameters::zeroVolume;
        for (std::size_t k = 0; k < qualities; ++k) {
            if (k >= material.sums.size()) {
                values.push_back(std::numeric_limits<float>::quiet_NaN());
                continue;
            }
            const double sum = material.sums[k];
            values.push_back(static_cast<float>(hasVolume ? sum / material.volume : sum));
        }
    } catch (...) {
        // Every column as long as the others again, so that the log and the pile keep agreeing.
        dropIndex.resize(before);
        x.resize(before);
        y.resize(before);
        z.resize(before);
        values.resize(before * qualitiesBefore);
        qualities = qualitiesBefore;
        throw;
    }
}

void ParticleLog::clear() {
    dropIndex.clear();
    x.clear();
    y.clear();
    z.clear();
    values.clear();
    qualities = 0;
}

void ParticleLog::save(SnapshotWriter& out) const {
    out.u64(qualities);
    out.u64(size());
    for (const std::uint64_t index : dropIndex) {
        out.u64(index);
    }
    out.rawFloats(x);
    out.rawFloats(y);
    out.rawFloats(z);
    out.rawFloats(values);
}

void ParticleLog::load(SnapshotReader& in) {
    const std::uint64_t qualityCount = in.u64();
    // Each entry takes its index, three coordinates and its values.
    if (qualityCount > in.remaining() / 4) {
        throw SnapshotError("snapshot is corrupt: the particle log's quality count is beyond its contents");
    }
    const std::size_t entries = in.count(8 + 12 + 4 * static_cast<std::size_t>(qualityCount));
    clear();
    qualities = static_cast<std::size_t>(qualityCount);
    dropIndex.resize(entries);
    for (std::uint64_t& index : dropIndex) {
        index = in.u64();
    }
    x.resize(entries);
    y.resize(entries);
    z.resize(entries);
    values.resize(entries * qualities);
    in.rawFloats(x);
    in.rawFloats(y);
    in.rawFloats(z);
    in.rawFloats(values);
}

}  // namespace korvex
