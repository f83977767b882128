#include "core/layered_settings.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "core/setting_descriptions.h"
#include "core/settings.h"

namespace korvex {

namespace {

constexpr double layeredCellsAcrossBed = 50.0;

}  // namespace

double layeredCellRule_m(double length_m, double depth_m, double streamFootprint_m) {
    const double edge_m = std::min(length_m, depth_m) / layeredCellsAcrossBed;
    return streamFootprint_m > 0.0 ? std::min(edge_m, streamFootprint_m) : edge_m;
}

double layeredCellAt(double particlesPerM3) {
    return cellSize(Engine::fast, static_cast<float>(particlesPerM3), 1.0f);
}

LayeredSettings resolvedLayeredSettings(LayeredSettings settings, const KorvexConfiguration& configuration) {
    if (!settings.cell_m) {
        const double rule_m =
            layeredCellRule_m(configuration.length, configuration.depth, settings.streamFootprint_m);
        settings.cell_m = layeredCellAt(std::pow(rule_m, -3.0));
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
