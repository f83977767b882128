#include "core/setting_descriptions.h"

#include <algorithm>
#include <cmath>
#include <format>
#include <limits>
#include <utility>
#include <variant>

namespace korvex {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double unbounded = std::numeric_limits<double>::infinity();
constexpr unsigned everyPile = fastEngine | detailedEngine | layeredEngine | ringEngine;

/// Extents of a bed area, metres: from a hand's breadth to a thousand kilometres.
constexpr double shortestExtentM = 0.01;
constexpr double longestExtentM = 1e6;
/// A particle from a million cubic metres to a trillion per cubic metre: beyond either end a pile is one
/// particle or its grid is far beyond Limits::maxCells.
constexpr double fewestParticlesPerM3 = 1e-12;
constexpr double mostParticlesPerM3 = 1e12;
/// A column never holds more layers than chunks a plan may stack, so a larger bound changes nothing.
constexpr double mostSegmentsPerColumn = 1e7;
/// Cells of the resolution rule across the bed's shorter side: the fast engine's (bench/resolution.py:
/// halving this cell moved the demo's fair VRR by 4 %, less than seeds differ) and the layered engine's
/// at least (bench/layered_convergence.py: a few percent at most).
constexpr double fastCellsAcrossBed = 150.0;

std::vector<SettingDescription> describeSettings() {
    const KorvexConfiguration configuration;
    const LayeredSettings layered;
    const PileSettings pile = defaultPileSettings();
    return {
        {"length_m", "m", pile.configuration.length, "", shortestExtentM, true, longestExtentM, true, false,
         everyPile, "extent of the bed area along the stacker rail"},
        {"depth_m", "m", pile.configuration.depth, "", shortestExtentM, true, longestExtentM, true, false,
         everyPile, "extent of the bed area across it"},
        {"reclaim_angle_deg", "°", configuration.reclaimAngle, "", 0.0, false, 90.0, true, false, everyPile,
         "slope of the reclaim face: 90 is vertical, 45 the slope the fast engine's piles rest at"},
        {"particles_per_m3", "1/m³", nan,
         "a cell of the bed's shorter side / 150; on the layered engine the stream's footprint, at most the "
         "shorter side / 50; on the detailed engine 1 per m³",
         fewestParticlesPerM3, true, mostParticlesPerM3, true, false, everyPile,
         "resolution: one particle carries 1 / particles_per_m3 m³; the layered engine's cell edge is "
         "particles_per_m3^(-1/3)"},
        {"eight_neighbour_probability", "", configuration.eightNeighbourProbability, "", 0.0, true, 1.0, true,
         false, fastEngine | ringEngine,
         "chance that a rolling particle looks at the diagonal neighbours too (1: closest to the detailed "
         "engine's spread, bench/calibration.py)"},
        {"particle_volume_factor", "", configuration.particleVolumeFactor, "", 1e-6, true, 1e6, true, false,
         detailedEngine, "box volume per unit of material volume"},
        {"drop_height_m", "m", configuration.dropHeight, "", 0.0, false, Limits::highestDropM, true, false,
         detailedEngine, "height above the ground particles are thrown from"},
        {"fall_height_m", "m", nan, "particles are thrown from drop_height_m above the ground", 0.0, true,
         Limits::highestDropM, true, false, detailedEngine,
         "height above the pile's surface particles are thrown from, as a luffing boom follows the pile"},
        {"cell_size_m", "m", nan,
         "the fast engine's cell at particles_per_m3, given or by its rule: the stream's footprint, at most the "
         "bed's shorter side / 50",
         0.0, false, unbounded, false, false, layeredEngine,
         "edge of a grid cell: only the surface's shape is sampled on it, layers keep their own thickness"},
        {"angle_of_repose_deg", "°", layered.reposeAngle_deg, "", Limits::lowestReposeDeg, true,
         Limits::highestReposeDeg, true, false, layeredEngine, "steepest slope the material stands at"},
        {"stream_footprint_m", "m", layered.streamFootprint_m, "", 0.0, true, unbounded, false, false,
         layeredEngine, "diameter of the disc on which the stacker's stream lands"},
        {"segments_per_column", "", static_cast<double>(layered.segmentsPerColumn), "", 2.0, true,
         mostSegmentsPerColumn, true, true, layeredEngine,
         "most layers a column keeps before its thinnest neighbours are merged"},
        {"ring_radius_m", "m", nan, "a quarter of the bed area's smaller extent", 0.0, false, unbounded, false,
         false, ringEngine, "radius of the ring's centre line about the centre of the bed area"},
    };
}

/// "the layered engine", "the fast and detailed engines and the continuous ring".
std::string readersOf(unsigned engines) {
    std::string names;
    int count = 0;
    for (const auto& [bit, name] : {std::pair{fastEngine, "fast"}, std::pair{detailedEngine, "detailed"},
                                    std::pair{layeredEngine, "layered"}}) {
        if (engines & bit) {
            names += std::string(count++ == 0 ? "" : " and ") + name;
        }
    }
    std::string text = count == 0 ? "" : std::format("the {} engine{}", names, count == 1 ? "" : "s");
    if (engines & ringEngine) {
        text += std::string(text.empty() ? "" : " and ") + "the continuous ring";
    }
    return text;
}

/// A value as people write it: whole numbers in full (10000000, not 1e+07), others as short as exact.
std::string withUnit(double value, std::string_view unit) {
    const std::string number = std::trunc(value) == value && std::fabs(value) < 1e15
                                   ? std::format("{}", static_cast<long long>(value))
                                   : std::format("{}", value);
    return unit.empty() ? number : std::format("{} {}", number, unit);
}

}  // namespace

unsigned engineUse(std::string_view name) {
    if (name == "fast") {
        return fastEngine;
    }
    if (name == "detailed") {
        return detailedEngine;
    }
    if (name == "layered") {
        return layeredEngine;
    }
    return name == "ring" ? ringEngine : 0u;
}

std::span<const SettingDescription> settingDescriptions() {
    static const std::vector<SettingDescription> described = describeSettings();
    return described;
}

const SettingDescription* describedSetting(std::string_view name) {
    for (const SettingDescription& setting : settingDescriptions()) {
        if (setting.name == name) {
            return &setting;
        }
    }
    return nullptr;
}

std::optional<std::string> settingProblem(const SettingDescription& setting, double value) {
    const bool aboveLowest = setting.lowestIncluded ? value >= setting.lowest : value > setting.lowest;
    const bool belowHighest =
        std::isinf(setting.highest)
            ? std::isfinite(value)
            : (setting.highestIncluded ? value <= setting.highest : value < setting.highest);
    const bool whole = !setting.whole || value == std::trunc(value);
    // A length whose 0 means "none" (no footprint of its own, no height above the pile) is otherwise at least a
    // hand's breadth: a denormal one passes a check for > 0 and then asks for a grid beyond any machine.
    const bool zeroIsNone = setting.unit == "m" && setting.lowest == 0.0 && setting.lowestIncluded;
    if (zeroIsNone && belowHighest && value > 0.0 && value < shortestExtentM) {
        return std::format("{} must be 0 or at least {}, got {}", setting.name,
                           withUnit(shortestExtentM, setting.unit), withUnit(value, setting.unit));
    }
    if (aboveLowest && belowHighest && whole) {
        return std::nullopt;
    }
    std::string bounds = std::format("{} {}", setting.lowestIncluded ? "at least" : "above",
                                     withUnit(setting.lowest, setting.unit));
    bounds += std::isinf(setting.highest)
                  ? std::string(" and finite")
                  : std::format(" and {} {}", setting.highestIncluded ? "at most" : "below",
                                withUnit(setting.highest, setting.unit));
    return std::format("{} must be {}{}, got {}", setting.name, setting.whole ? "a whole number " : "",
                       bounds, withUnit(value, setting.unit));
}

std::vector<std::string> givenSettingsProblems(unsigned uses, std::string_view engine,
                                               const SettingValues& given) {
    std::vector<std::string> problems;
    for (const auto& [name, value] : given) {
        const SettingDescription* setting = describedSetting(name);
        if (setting == nullptr) {
            problems.push_back(std::format("{} is no setting of a pile", name));
        } else if ((setting->engines & uses) == 0) {
            problems.push_back(std::format("{} is not a setting of {}: it is read only by {}", name, engine,
                                           readersOf(setting->engines)));
        } else if (auto problem = settingProblem(*setting, value)) {
            problems.push_back(std::move(*problem));
        }
    }
    if ((uses & layeredEngine) && given.contains("cell_size_m") && given.contains("particles_per_m3")) {
        problems.emplace_back(
            "cell_size_m and particles_per_m3 both set the layered engine's cell: give one");
    }
    return problems;
}

double ruleParticlesPerM3(unsigned uses, double length_m, double depth_m, double streamFootprint_m) {
    if (uses & layeredEngine) {
        return std::pow(layeredCellRule_m(length_m, depth_m, streamFootprint_m), -3.0);
    }
    if (uses & detailedEngine) {
        return KorvexConfiguration{}.particlesPerCubicMeter;
    }
    return std::pow(std::min(length_m, depth_m) / fastCellsAcrossBed, -3.0);
}

namespace {

/// The given value of a setting, or nothing.
std::optional<double> givenValue(const SettingValues& given, std::string_view name) {
    const auto found = given.find(name);
    return found == given.end() ? std::nullopt : std::optional(found->second);
}

/// The given settings without a problem; those with one are left to their defaults, so that the check of
/// the whole pile can still report what else is wrong.
SettingValues usableOf(unsigned uses, const SettingValues& given) {
    SettingValues usable;
    for (const auto& [name, value] : given) {
        if (givenSettingsProblems(uses, "", {{name, value}}).empty()) {
            usable.emplace(name, value);
        }
    }
    return usable;
}

/// Throws the SettingsError of `problems` and of every other problem checkSettings finds in `settings`.
template <class Settings>
void throwProblems(std::vector<std::string> problems, const Settings& settings) {
    if (problems.empty()) {
        return;
    }
    const auto checked = checkSettings(settings);
    if (const auto* error = std::get_if<SettingsError>(&checked)) {
        for (const std::string& problem : error->problems()) {
            if (std::find(problems.begin(), problems.end(), problem) == problems.end()) {
                problems.push_back(problem);
            }
        }
    }
    throw SettingsError(std::move(problems));
}

/// The settings every pile shares, the given ones over `configuration`'s.
void setShared(KorvexConfiguration& configuration, const SettingValues& given) {
    const auto set = [&](float& member, std::string_view name) {
        member = static_cast<float>(givenValue(given, name).value_or(member));
    };
    set(configuration.length, "length_m");
    set(configuration.depth, "depth_m");
    set(configuration.reclaimAngle, "reclaim_angle_deg");
    set(configuration.eightNeighbourProbability, "eight_neighbour_probability");
}

}  // namespace

PileSettings describedPileSettings(PileSettings settings, const SettingValues& everyGiven) {
    const Engine engine = settings.engine;
    const unsigned uses = engineUse(engineName(engine));
    const SettingValues given = usableOf(uses, everyGiven);
    KorvexConfiguration& configuration = settings.configuration;
    // The rules read the extents as given, in double precision, as the package always has.
    const double length_m = givenValue(given, "length_m").value_or(configuration.length);
    const double depth_m = givenValue(given, "depth_m").value_or(configuration.depth);
    setShared(configuration, given);
    const auto set = [&](float& member, std::string_view name) {
        member = static_cast<float>(givenValue(given, name).value_or(member));
    };
    set(configuration.particleVolumeFactor, "particle_volume_factor");
    set(configuration.dropHeight, "drop_height_m");
    if (const auto fall = givenValue(given, "fall_height_m")) {
        configuration.fallHeight = static_cast<float>(*fall);
    }
    LayeredSettings& layered = settings.layered;
    layered.reposeAngle_deg = givenValue(given, "angle_of_repose_deg").value_or(layered.reposeAngle_deg);
    layered.streamFootprint_m = givenValue(given, "stream_footprint_m").value_or(layered.streamFootprint_m);
    if (const auto segments = givenValue(given, "segments_per_column")) {
        layered.segmentsPerColumn = static_cast<std::size_t>(*segments);
    }
    const std::optional<double> perM3 = givenValue(given, "particles_per_m3");
    if (engine == Engine::layered) {
        // The rule reads the extents as given, not as the single-precision configuration holds them.
        layered.cell_m = givenValue(given, "cell_size_m")
                             .value_or(layeredCellAt(perM3.value_or(
                                 ruleParticlesPerM3(uses, length_m, depth_m, layered.streamFootprint_m))));
    } else {
        configuration.particlesPerCubicMeter = static_cast<float>(perM3.value_or(
            ruleParticlesPerM3(uses, length_m, depth_m, layered.streamFootprint_m)));
    }
    throwProblems(givenSettingsProblems(uses, std::format("the {} engine", engineName(engine)), everyGiven),
                  settings);
    return settings;
}

float cellSizeOf(const PileSettings& settings) {
    const KorvexConfiguration& configuration = settings.configuration;
    if (settings.engine == Engine::layered) {
        return static_cast<float>(*resolvedLayeredSettings(settings.layered, configuration).cell_m);
    }
    return cellSize(settings.engine, configuration.particlesPerCubicMeter,
                    configuration.particleVolumeFactor);
}

RingPileSettings describedRingSettings(RingPileSettings settings, const SettingValues& everyGiven) {
    const SettingValues given = usableOf(ringEngine, everyGiven);
    KorvexConfiguration& configuration = settings.configuration;
    const double length_m = givenValue(given, "length_m").value_or(configuration.length);
    const double depth_m = givenValue(given, "depth_m").value_or(configuration.depth);
    setShared(configuration, given);
    const double rule = ruleParticlesPerM3(ringEngine, length_m, depth_m, 0.0);
    configuration.particlesPerCubicMeter =
        static_cast<float>(givenValue(given, "particles_per_m3").value_or(rule));
    settings.ringRadius =
        static_cast<float>(givenValue(given, "ring_radius_m").value_or(std::min(length_m, depth_m) / 4.0));
    throwProblems(givenSettingsProblems(ringEngine, "a continuous ring", everyGiven), settings);
    return settings;
}

}  // namespace korvex
