#include "core/bed_bounds.h"

#include <algorithm>
#include <cmath>
#include <format>
#include <limits>
#include <stdexcept>
#include <string>

namespace korvex {

double bedCapacity_m3(const KorvexConfiguration& configuration) {
    return static_cast<double>(std::fabs(configuration.length)) * std::fabs(configuration.depth) *
           highestPileM;
}

double bedReclaimReach_m(const KorvexConfiguration& configuration) {
    return 2.0 * (static_cast<double>(std::fabs(configuration.length)) + std::fabs(configuration.depth));
}

double qualityLimitFor(double capacity_m3) {
    // Every sum is at most the pile's volume times the largest magnitude.
    return std::numeric_limits<double>::max() / 4.0 / std::max(capacity_m3, 1.0);
}

void checkChunkValues(float x, float z, const AveragedParameters& material) {
    if (!std::isfinite(x) || !std::isfinite(z)) {
        throw std::invalid_argument("stacking position must be finite, got x=" + std::to_string(x) +
                                    ", z=" + std::to_string(z));
    }
    if (!std::isfinite(material.volume) || material.volume < 0.0) {
        throw std::invalid_argument("volume must be finite and not negative, got " +
                                    std::to_string(material.volume));
    }
    for (double sum : material.sums) {
        if (!std::isfinite(sum)) {
            throw std::invalid_argument("quality values must be finite");
        }
    }
}

void checkBedRoom(double held_m3, double volume_m3, double capacity_m3) {
    if (!(held_m3 + volume_m3 <= capacity_m3)) {
        throw std::invalid_argument(
            std::format("a volume of {:g} m3 would bring the pile to {:g} m3, more than the "
                        "{:g} m3 this bed can hold (its area times {:g} m); nothing was "
                        "stacked",
                        volume_m3, held_m3 + volume_m3, capacity_m3, highestPileM));
    }
}

void checkQualityMagnitudes(const AveragedParameters& material, double limit) {
    for (double sum : material.sums) {
        if (!(std::fabs(sum) <= limit * material.volume)) {
            throw std::invalid_argument(
                std::format("quality value {:g} is beyond the {:g} in magnitude that sums "
                            "over this bed can hold; nothing was stacked",
                            sum / material.volume, limit));
        }
    }
}

}  // namespace korvex
