#pragma once

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"

namespace korvex {

/// Who reads a setting: one bit per engine, and one for the continuously run ring.
enum EngineUse : unsigned { fastEngine = 1u, detailedEngine = 2u, layeredEngine = 4u, ringEngine = 8u };

/// The bits of "fast", "detailed", "layered" or "ring"; 0 for any other name.
unsigned engineUse(std::string_view name);

/// One setting as every face names, defaults, bounds and explains it. The defaults are the settings types'
/// member initialisers, read, not copied.
struct SettingDescription {
    /// The keyword, with its unit: angle_of_repose_deg.
    std::string_view name;
    /// "m", "°", "1/m³"; empty for a pure number.
    std::string_view unit;
    /// The default, or NaN where defaultRule says how it follows from the bed.
    double defaultValue;
    std::string_view defaultRule;
    double lowest;
    bool lowestIncluded;
    /// +infinity: any finite value above the lowest.
    double highest;
    bool highestIncluded;
    bool whole;
    /// EngineUse bits of the engines that read it.
    unsigned engines;
    std::string_view help;
};

/// Every setting of every engine, in the order the faces list them.
std::span<const SettingDescription> settingDescriptions();
/// The setting of that name, or nullptr.
const SettingDescription* describedSetting(std::string_view name);
/// What is wrong with `value` for `setting`, naming the setting, the value and the unit; empty when nothing.
std::optional<std::string> settingProblem(const SettingDescription& setting, double value);

/// Settings given by name; a setting left out takes its default.
using SettingValues = std::map<std::string, double, std::less<>>;

/// Every problem of `given` for a pile read by `uses` (EngineUse bits) and called `engine` in messages: a
/// name no setting has, a setting that pile does not read, a value out of its limits.
std::vector<std::string> givenSettingsProblems(unsigned uses, std::string_view engine,
                                               const SettingValues& given);

/// The resolution the package chooses when none is given, particles per cubic metre: a fast-engine (and
/// ring) cell of the bed's shorter side / 150, one particle per m³ on the detailed engine, and on the
/// layered engine a cell of the stream's footprint, at most the shorter side / 50.
double ruleParticlesPerM3(unsigned uses, double length_m, double depth_m, double streamFootprint_m);

/// `base` (from defaultPileSettings, with the face's engine, shape, seed, reclaim step and particle log) with
/// the given settings, and the rules' choices for those left out that have no default of their own. Throws
/// SettingsError naming every problem givenSettingsProblems finds and every other one checkSettings does.
PileSettings describedPileSettings(PileSettings base, const SettingValues& given);
/// Edge of the height-map cell of a pile of `settings`, single precision, unchecked: the layered engine's
/// cell, given or by its rule, or the particles' cellSize.
float cellSizeOf(const PileSettings& settings);
/// The same for a continuously run ring, `base` from defaultRingPileSettings.
RingPileSettings describedRingSettings(RingPileSettings base, const SettingValues& given);

}  // namespace korvex
