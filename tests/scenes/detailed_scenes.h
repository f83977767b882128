#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/configuration.h"
#include "detailed/korvex_detailed.h"

namespace korvex::scenes {

using DetailedSimulator = KorvexDetailed<AveragedParameters>;

/// A straight ridge of settled 1 m boxes along x, to be reclaimed with a 45 degree face: layer k of each
/// metre of ridge spans the cells k .. ridgeWidth - 1 - k across it. The boxes are shifted by a fixed
/// pattern of up to 0.1 m, so that no two share a reclaim coordinate.
inline constexpr int ridgeWidth = 29;
inline constexpr int ridgeLayers = (ridgeWidth + 1) / 2;

/// A bed long enough for a ridge of `particles` boxes.
KorvexConfiguration ridgeBed(std::size_t particles);

/// Places the ridge's boxes as settled ones, with a simulation step after each, as while stacking, so that
/// the world's tree of resting bodies and the buried-particle pass leave the ridge as they leave a stacked
/// pile; then finishes stacking.
void settleRidge(DetailedSimulator& simulator, std::size_t particles);

/// `slices` evenly spaced positions from before the ridge's lowest reclaim coordinate to past its highest.
std::vector<float> ridgeSlicePositions(const DetailedSimulator& simulator, std::size_t slices);

/// A stacker that travels once, slowly, along the 40 m centre line of a bed with room around it for the
/// pile's feet, throwing 1 m boxes (one particle per cubic metre) from high enough to clear the largest pile.
inline constexpr float stackerTravel = 40.0f;
inline constexpr float stackerBedMargin = 10.0f;
inline constexpr float stackerBedDepth = 40.0f;

KorvexConfiguration stackerPassBed();

/// Stacks `particles` boxes as the stacker passes, one chunk of one particle at a time, calling `afterDrop`
/// with the count stacked so far after each; does not finish stacking.
void stackerPass(DetailedSimulator& simulator, std::size_t particles,
                 const std::function<void(std::size_t)>& afterDrop = {});

}  // namespace korvex::scenes
