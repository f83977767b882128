#include "core/layered_settings.h"

#include "core/settings.h"

#include <cmath>
#include <format>

namespace korvex {

std::vector<std::string> layeredSettingsProblems(const LayeredSettings& settings) {
    std::vector<std::string> problems;
    if (!(settings.cell_m > 0.0) || !std::isfinite(settings.cell_m)) {
        problems.push_back(std::format("cell_m must be positive and finite, got {:g} m", settings.cell_m));
    }
    if (!(settings.reposeAngle_deg >= Limits::lowestReposeDeg && settings.reposeAngle_deg <= Limits::highestReposeDeg)) {
        problems.push_back(std::format("reposeAngle_deg must lie between {:g} and {:g} degrees, got {:g} degrees",
                                       Limits::lowestReposeDeg, Limits::highestReposeDeg, settings.reposeAngle_deg));
    }
    if (!(settings.streamFootprint_m >= 0.0) || !std::isfinite(settings.streamFootprint_m)) {
        problems.push_back(std::format("streamFootprint_m must be at least 0 and finite, got {:g} m",
                                       settings.streamFootprint_m));
    }
    // Merging the thinnest pair needs two segments to choose from.
    if (settings.segmentsPerColumn < 2) {
        problems.push_back(std::format("segmentsPerColumn must be at least 2, got {}", settings.segmentsPerColumn));
    }
    return problems;
}

}  // namespace korvex
