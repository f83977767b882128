#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/configuration.h"

namespace korvex {

/// What the layered engine needs beyond the bed's extent and reclaim face: the material's angle of repose,
/// the width of the stacker's stream where it meets the pile, the grid and the bound on segments a column
/// keeps. Fixed for an engine's lifetime; checked with the pile's other settings by checkSettings, against
/// the limits core/setting_descriptions.h declares.
struct LayeredSettings {
    /// Edge of a square grid cell, metres; without one, layeredCellRule_m of the bed. Only the shape of the
    /// surface is sampled on it: layers keep their own thickness, however thin.
    std::optional<double> cell_m;
    /// Steepest slope the material stands at, degrees from the horizontal (limestone about 38-40).
    double reposeAngle_deg = 38.0;
    /// Diameter of the disc on which the stream lands, metres; the delivery's cone is flat over it.
    double streamFootprint_m = 1.0;
    /// Most segments one column keeps; beyond it the thinnest neighbours are merged.
    std::size_t segmentsPerColumn = 256;
};

/// The cell the layered engine takes when given none: the stream's footprint, the narrowest thing its
/// physics knows, but at most the bed's shorter side / 50, so that a ridge's flanks and the reclaim face's
/// wedge span tens of cells (bench/layered_convergence.py: halving it moves the fair VRR by a few percent
/// at most).
double layeredCellRule_m(double length_m, double depth_m, double streamFootprint_m);

/// The layered engine's cell at a resolution of `particlesPerM3`: the fast engine's single-precision cell
/// edge, so that a bed's cell is the same figure on either engine.
double layeredCellAt(double particlesPerM3);

/// `settings` with its cell, given or at the resolution of the rule for the bed of `configuration`.
LayeredSettings resolvedLayeredSettings(LayeredSettings settings, const KorvexConfiguration& configuration);

/// Every setting out of its described limits, with its value and unit. Empty when all are usable.
std::vector<std::string> layeredSettingsProblems(const LayeredSettings& settings);

}  // namespace korvex
