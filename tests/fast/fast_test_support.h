#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "fast/korvex_fast.h"
#include "tests/engine_access.h"

namespace korvex::testing_support {

using Fast = KorvexFast<AveragedParameters>;

constexpr std::int32_t border = std::numeric_limits<std::int32_t>::max();
constexpr float nanF = std::numeric_limits<float>::quiet_NaN();
constexpr float infF = std::numeric_limits<float>::infinity();

/// A straight pile of `length` x `depth` metres with cells of 0.5 m (a particle volume of 0.125), a
/// vertical reclaim face and descent steps that look at the four edge neighbours only.
inline KorvexConfiguration pile(float length, float depth) {
    KorvexConfiguration configuration;
    configuration.length = length;
    configuration.depth = depth;
    configuration.reclaimAngle = 90.0f;
    configuration.particlesPerCubicMeter = 8.0f;
    configuration.eightNeighbourProbability = 0.0f;
    return configuration;
}

inline AveragedParameters material(double volume, std::vector<double> values) {
    return AveragedParameters(volume, values);
}

inline AveragedParameters particle(double value = 1.0) { return material(0.125, {value}); }

/// Gives every real column `cubes` cubes, so that a dropped particle stays in its drop column.
inline void fillColumns(Fast& simulator, std::int32_t cubes) {
    for (std::size_t c = 1; c <= simulator.heapMapColumns(); ++c) {
        for (std::size_t r = 1; r <= simulator.heapMapRows(); ++r) {
            korvex::testing::EngineAccess::columnCounts(simulator)[c][r] = cubes;
        }
    }
}

/// Cubes in the real columns, or -1 when a border cell has lost its border count.
inline std::int64_t totalCubes(const Fast& simulator) {
    std::int64_t cubes = 0;
    for (std::size_t c = 0; c < simulator.columnCounts().columns(); ++c) {
        for (std::size_t r = 0; r < simulator.columnCounts().rows(); ++r) {
            const bool real =
                c >= 1 && c <= simulator.heapMapColumns() && r >= 1 && r <= simulator.heapMapRows();
            if (!real && simulator.columnCounts()[c][r] != border) {
                return -1;
            }
            cubes += real ? simulator.columnCounts()[c][r] : 0;
        }
    }
    return cubes;
}

inline std::vector<double> sliceVolumes(const Fast& simulator) {
    std::vector<double> volumes;
    for (const auto& slice : simulator.slices()) {
        volumes.push_back(slice.volume);
    }
    return volumes;
}

}  // namespace korvex::testing_support
