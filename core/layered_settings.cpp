#include "core/layered_settings.h"

#include <algorithm>
#include <string_view>

#include "core/setting_descriptions.h"

namespace korvex {

namespace {

constexpr double layeredCellsAcrossBed = 50.0;

}  // namespace

double layeredCellRule_m(double length_m, double depth_m, double streamFootprint_m) {
    const double edge_m = std::min(length_m, depth_m) / layeredCellsAcrossBed;
    return streamFootprint_m > 0.0 ? std::min(edge_m, streamFootprint_m) : edge_m;
}

LayeredSettings resolvedLayeredSettings(LayeredSettings settings, const KorvexConfiguration& configuration) {
    if (!settings.cell_m) {
        settings.cell_m = layeredCellRule_m(configuration.length, configuration.depth, settings.streamFootprint_m);
    }
    return settings;
}

std::vector<std::string> layeredSettingsProblems(const LayeredSettings& settings) {
    std::vector<std::string> problems;
    const auto check = [&](std::string_view name, double value) {
        if (auto problem = settingProblem(*describedSetting(name), value)) {
            problems.push_back(std::move(*problem));
        }
    };
    if (settings.cell_m) {
        check("cell_size_m", *settings.cell_m);
    }
    check("angle_of_repose_deg", settings.reposeAngle_deg);
    check("stream_footprint_m", settings.streamFootprint_m);
    check("segments_per_column", static_cast<double>(settings.segmentsPerColumn));
    return problems;
}

}  // namespace korvex
