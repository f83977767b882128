#include "core/configuration.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace korvex {

namespace {

void requireFinite(float value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " must be finite, got " + std::to_string(value));
    }
}

}  // namespace

void validateConfiguration(const KorvexConfiguration& configuration) {
    requireFinite(configuration.length, "length");
    requireFinite(configuration.depth, "depth");
    requireFinite(configuration.reclaimAngle, "reclaimAngle");
    if (!(configuration.particlesPerCubicMeter > 0.0f) ||
        !std::isfinite(configuration.particlesPerCubicMeter)) {
        throw std::invalid_argument("particlesPerCubicMeter must be positive and finite, got " +
                                    std::to_string(configuration.particlesPerCubicMeter));
    }
}

}  // namespace korvex
