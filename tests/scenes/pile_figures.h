#pragma once

#include <cstdint>
#include <span>

#include "core/korvex.h"
#include "core/reclaim_pile.h"
#include "tests/scenes/stacker_scene.h"

namespace korvex::scenes {

/// What a user sees of a stacked pile in its height map.
struct HeightMapFigures {
    double footprint = 0.0;   ///< cells raised
    double meanHeight = 0.0;  ///< over the raised cells, metres
    double maxHeight = 0.0;   ///< metres
    double slope = 0.0;       ///< mean gradient over raised cells with four raised neighbours, degrees
};

/// The figures of `simulator`'s height map as it stands, its cells `cellSize` metres wide.
HeightMapFigures heightMapFiguresOf(const Korvex<AveragedParameters>& simulator, float cellSize);

/// Variance reduction ratio: the volume-weighted variance of the first quality value over the slices
/// reclaimed, divided by that over the rows stacked. Empty slices weigh nothing.
double varianceReductionRatio(const ChunkRows& stacked, std::span<const ReclaimedSlice> reclaimed);

/// The height-map figures of a stacked pile and the variance reduction ratio of reclaiming it.
struct PileFigures {
    HeightMapFigures heightMap;
    double vrr = 0.0;
};

/// Where a fast simulator draws its descent steps from.
enum class DescentDraws {
    mersenneTwister,  ///< FastRandomSources, as the module's simulators draw
    splitDraws,       ///< SplitDrawSources, as the package's simulators draw
};

/// Stacks the scene's rows through a fast simulator that draws from sources of their own of the kind
/// given, started from `seed`, reads the height map, reclaims the pile in cell-wide slices and returns its
/// figures.
PileFigures stackedPileFigures(const StackerScene& scene, DescentDraws draws, std::uint64_t seed);

/// Mean and sample standard deviation of some runs' values.
struct RunSpread {
    double mean = 0.0;
    double sd = 0.0;
};

RunSpread spreadOf(std::span<const double> runs);

}  // namespace korvex::scenes
