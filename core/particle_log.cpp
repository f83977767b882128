#include "core/particle_log.h"

#include <limits>

namespace korvex {

void ParticleLog::append(std::uint64_t index, float centreX, float centreY, float centreZ,
                         const AveragedParameters& material) {
    if (dropIndex.empty()) {
        qualities = material.sums.size();
    }
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
