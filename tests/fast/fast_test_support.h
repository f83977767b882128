#pragma once

#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/configuration.h"
#include "fast/korvex_fast.h"

namespace korvex::testing_support {

using Fast = KorvexFast<AveragedParameters>;

constexpr std::int32_t border = std::numeric_limits<std::int32_t>::max();
constexpr float nanF = std::numeric_limits<float>::quiet_NaN();
constexpr float infF = std::numeric_limits<float>::infinity();

/// A straight pile of `length` x `depth` metres with cells of 0.5 m (8 particles per cubic metre, so a
/// particle volume of 0.125) and a vertical reclaim face.
inline KorvexConfiguration pile(float length, float depth) {
    KorvexConfiguration configuration;
    configuration.length = length;
    configuration.depth = depth;
    configuration.particlesPerCubicMeter = 8.0f;
    return configuration;
}

inline AveragedParameters material(double volume, std::vector<double> values) {
    return AveragedParameters(volume, values);
}

/// One particle of the 0.125 m^3 that `pile` gives.
inline AveragedParameters particle(double value = 1.0) { return material(0.125, {value}); }

/// Gives every real column `cubes` cubes, so that a dropped particle stays in its drop column.
inline void fillColumns(Fast& simulator, std::int32_t cubes) {
    for (std::size_t c = 1; c <= simulator.heapMapWidth; ++c) {
        for (std::size_t r = 1; r <= simulator.heapMapDepth; ++r) {
            simulator.columnCounts[c][r] = cubes;
        }
    }
}

inline std::vector<double> sliceVolumes(const Fast& simulator) {
    std::vector<double> volumes;
    for (const auto& slice : simulator.slices) {
        volumes.push_back(slice.volume);
    }
    return volumes;
}

inline double totalSliceVolume(const Fast& simulator) {
    const auto volumes = sliceVolumes(simulator);
    return std::accumulate(volumes.begin(), volumes.end(), 0.0);
}

/// Cubes in the real columns.
inline std::int64_t totalCubes(const Fast& simulator) {
    std::int64_t cubes = 0;
    for (std::size_t c = 1; c <= simulator.heapMapWidth; ++c) {
        for (std::size_t r = 1; r <= simulator.heapMapDepth; ++r) {
            cubes += simulator.columnCounts[c][r];
        }
    }
    return cubes;
}

/// Whether every border cell still holds the border count.
inline bool bordersIntact(const Fast& simulator) {
    const std::size_t columns = simulator.columnCounts.columns();
    const std::size_t rows = simulator.columnCounts.rows();
    for (std::size_t c = 0; c < columns; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            const bool onBorder = c == 0 || r == 0 || c + 1 == columns || r + 1 == rows;
            if (onBorder && simulator.columnCounts[c][r] != border) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace korvex::testing_support
