#include "core/layered_settings.h"

#include <cmath>
#include <format>

namespace korvex {

std::vector<std::string> layeredSettingsProblems(const LayeredSettings& settings) {
    std::vector<std::string> problems;
    if (!(settings.cell_m > 0.0) || !std::isfinite(settings.cell_m)) {
        problems.push_back(std::format("cell_m must be positive and finite, got {:g} m", settings.cell_m));
    }
    // A flat pile would spread a delivery over the whole bed, a vertical one would stand on a point.
    if (!(settings.reposeAngle_deg > 0.0 && settings.reposeAngle_deg < 90.0)) {
        problems.push_back(std::format("reposeAngle_deg must lie between 0 and 90 degrees, got {:g} degrees",
                                       settings.reposeAngle_deg));
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
