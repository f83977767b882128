#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pile/pile.h"

namespace korvex::testing {

/// A small pile of any engine: 12 m x 8 m at one particle per cubic metre (a 1 m cell on the layered engine),
/// a reclaim face of 60 degrees; particles logged where there are particles.
inline PileSettings smallPileSettings(Engine engine, std::optional<std::uint64_t> seed) {
    PileSettings settings;
    settings.configuration.length = 12.0f;
    settings.configuration.depth = 8.0f;
    settings.configuration.reclaimAngle = 60.0f;
    settings.configuration.particlesPerCubicMeter = 1.0f;
    settings.configuration.eightNeighbourProbability = 0.5f;
    settings.configuration.particleVolumeFactor = 1.0f;
    settings.configuration.dropHeight = 3.0f;
    settings.engine = engine;
    settings.seed = seed;
    settings.layered.cell_m = 1.0;
    settings.logParticles = engine != Engine::layered;
    return settings;
}

/// Columns of the chunk tables the scenes stack.
inline const std::vector<std::string> chunkColumns{"timestamp", "x", "z", "volume", "q"};

/// Rows of timestamp, x, z, volume, q: a stacker passing along the bed's centre line and back.
inline std::vector<double> stackerPass(int chunks, double volumePerChunk) {
    std::vector<double> rows;
    for (int k = 0; k < chunks; ++k) {
        const double along = static_cast<double>(k) / (chunks - 1);
        const double x = 2.0 + 8.0 * (k < chunks / 2 ? 2.0 * along : 2.0 - 2.0 * along);
        rows.insert(rows.end(), {static_cast<double>(k), x, 4.0, volumePerChunk, 10.0 + k % 7});
    }
    return rows;
}

/// A row-major table of `rows` with the chunk columns.
inline TableView tableOf(const std::vector<double>& rows) {
    const std::size_t columns = chunkColumns.size();
    return TableView{reinterpret_cast<const std::byte*>(rows.data()), rows.size() / columns, columns,
                     static_cast<std::ptrdiff_t>(columns * sizeof(double)), sizeof(double)};
}

}  // namespace korvex::testing
