#pragma once

#include <optional>

namespace korvex {

/// The settings copied into every simulator, fixed for its lifetime. The member initialisers are the
/// settings' defaults (defaultPileSettings() adds a bed's extent); core/settings.h checks them.
struct KorvexConfiguration {
    float length = 0.0f;                     ///< extent of the pile area along x, metres
    float depth = 0.0f;                      ///< extent of the pile area along z, metres
    /// Slope of the reclaim face, degrees; 90 is vertical. 45 matches the slope at which the fast engine's
    /// piles come to rest.
    float reclaimAngle = 45.0f;
    float particlesPerCubicMeter = 1.0f;     ///< fixes the particle volume
    bool circular = false;                   ///< slices run along a circle instead of along x
    /// Fast engine: chance of an eight-neighbour step. 1 comes closest to the detailed engine's spread of a
    /// delivery along the bed (bench/calibration.py).
    float eightNeighbourProbability = 1.0f;
    bool visualize = false;                  ///< fast engine: publish a record per placed particle
    float particleVolumeFactor = 1.0f;       ///< detailed engine: box volume per material volume
    float dropHeight = 10.0f;                ///< detailed engine: height particles are dropped from, metres
    /// Cell i of the grid spans i to i + 1 cell edges from the origin, so that a position lands in the cell
    /// that contains it and a fast-engine cube goes to the slice its centre is in. Otherwise cell i is
    /// centred on i cell edges, as the `_korvex_lib` module keeps it.
    bool cellsFromOrigin = false;
    /// Detailed engine: each throw is aimed so that the box comes down on the surface at the stacking
    /// position. Otherwise every box is thrown from 5 m short of it, wherever it then lands.
    bool aimedThrow = false;
    /// Detailed engine: when set, particles are dropped from this many metres above the pile's surface at
    /// the drop position instead of from dropHeight, as a luffing boom follows the pile.
    std::optional<float> fallHeight;
};

}  // namespace korvex
