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

}  // namespace korvex
