#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvex {

/// What the layered engine needs beyond the bed's extent and reclaim face: the material's angle of repose,
/// the width of the stacker's stream where it meets the pile, the grid and the bound on segments a column
/// keeps. Fixed for an engine's lifetime; checked with the pile's other settings by checkSettings.
struct LayeredSettings {
    /// Edge of a square grid cell, metres. Only the shape of the surface is sampled on it: layers keep
    /// their own thickness, however thin.
    double cell_m = 0.5;
    /// Steepest slope the material stands at, degrees from the horizontal (limestone about 38-40).
    double reposeAngle_deg = 38.0;
    /// Diameter of the disc on which the stream lands, metres; the delivery's cone is flat over it.
    double streamFootprint_m = 1.0;
    /// Most segments one column keeps; beyond it the thinnest neighbours are merged.
    std::size_t segmentsPerColumn = 256;
};

/// Every setting out of range, with its value and unit: a cell that is not positive and finite, an angle of
/// repose outside (0, 90) degrees, a footprint that is negative or not finite, fewer than two segments per
/// column. Empty when all are usable.
std::vector<std::string> layeredSettingsProblems(const LayeredSettings& settings);

}  // namespace korvex
