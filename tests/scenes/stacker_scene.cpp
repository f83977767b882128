#include "tests/scenes/stacker_scene.h"

#include <algorithm>
#include <cmath>

namespace korvex::scenes {

KorvexConfiguration configurationOf(const StackerScene& scene) {
    KorvexConfiguration configuration;
    configuration.length = static_cast<float>(scene.columns);
    configuration.depth = static_cast<float>(scene.rows);
    configuration.reclaimAngle = scene.reclaimAngle;
    configuration.particlesPerCubicMeter = scene.particlesPerCubicMeter;
    configuration.eightNeighbourProbability = scene.eightNeighbourProbability;
    return configuration;
}

std::vector<Drop> dropsOf(const StackerScene& scene) {
    const double length = scene.columns;
    const double travelPerParticle =
        static_cast<double>(scene.passes) * length / static_cast<double>(scene.particles);
    const auto centre = static_cast<float>(scene.rows) * 0.5f;
    std::vector<Drop> drops;
    drops.reserve(scene.particles);
    for (std::size_t n = 0; n < scene.particles; ++n) {
        const double travel = (static_cast<double>(n) + 0.5) * travelPerParticle;
        const auto pass = std::min(static_cast<std::size_t>(travel / length), scene.passes - 1);
        const double along = travel - static_cast<double>(pass) * length;
        drops.push_back({static_cast<float>(pass % 2 == 0 ? along : length - along), centre});
    }
    return drops;
}

TableView ChunkRows::view() const {
    const auto rowBytes = static_cast<std::ptrdiff_t>(names.size() * sizeof(double));
    return {reinterpret_cast<const std::byte*>(cells.data()), rows, names.size(), rowBytes, sizeof(double)};
}

ChunkRows chunkRowsOf(const StackerScene& scene) {
    ChunkRows table{{"timestamp", "x", "z", "volume", "quality"}, scene.particles, {}};
    table.cells.reserve(scene.particles * table.names.size());
    const double volume = 1.0 / static_cast<double>(configurationOf(scene).particlesPerCubicMeter);
    std::size_t n = 0;
    for (const Drop& drop : dropsOf(scene)) {
        const double time = static_cast<double>(n++);
        const double quality = 40.0 + 2.0 * std::sin(time / 997.0) + std::sin(time / 61.0);
        table.cells.insert(table.cells.end(), {time, drop.x, drop.z, volume, quality});
    }
    return table;
}

}  // namespace korvex::scenes
