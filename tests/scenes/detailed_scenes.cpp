#include "tests/scenes/detailed_scenes.h"

#include <array>
#include <cmath>

#include "tests/detailed/detailed_world.h"

namespace korvex::scenes {

KorvexConfiguration ridgeBed(std::size_t particles) {
    const auto perMetre = static_cast<std::size_t>(ridgeLayers * ridgeLayers);
    KorvexConfiguration configuration = testing::pileOfMetreBoxes();
    configuration.length = static_cast<float>((particles + perMetre - 1) / perMetre);
    configuration.depth = static_cast<float>(ridgeWidth);
    configuration.reclaimAngle = 45.0f;
    return configuration;
}

void settleRidge(DetailedSimulator& simulator, std::size_t particles) {
    std::size_t placed = 0;
    for (int x = 0; placed < particles; ++x) {
        for (int layer = 0; layer < ridgeLayers && placed < particles; ++layer) {
            for (int z = layer; z < ridgeWidth - layer && placed < particles; ++z, ++placed) {
                const float shift = 0.02f * static_cast<float>((placed * 7919u) % 11u) - 0.1f;
                const std::array<double, 2> values{static_cast<double>(placed % 101),
                                                   static_cast<double>(layer)};
                testing::placeSettled(simulator, static_cast<float>(x) + 0.5f + shift,
                                      static_cast<float>(layer) + 0.5f - shift, static_cast<float>(z) + 0.5f,
                                      AveragedParameters(1.0, values));
                simulator.simulateStep();
            }
        }
    }
    simulator.finishStacking();
}

std::vector<float> ridgeSlicePositions(const DetailedSimulator& simulator, std::size_t slices) {
    const float first = -static_cast<float>(ridgeLayers) - 1.0f;
    const float last = simulator.settings().length + 1.0f;
    std::vector<float> positions;
    positions.reserve(slices);
    for (std::size_t k = 0; k < slices; ++k) {
        positions.push_back(first + (last - first) * static_cast<float>(k) / static_cast<float>(slices - 1));
    }
    return positions;
}

KorvexConfiguration stackerPassBed() {
    KorvexConfiguration configuration;
    configuration.length = stackerTravel + 2.0f * stackerBedMargin;
    configuration.depth = stackerBedDepth;
    configuration.reclaimAngle = 45.0f;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.particleVolumeFactor = 1.0f;
    configuration.dropHeight = 20.0f;
    return configuration;
}

void stackerPass(DetailedSimulator& simulator, std::size_t particles,
                 const std::function<void(std::size_t)>& afterDrop) {
    const float z = stackerBedDepth * 0.5f;
    for (std::size_t n = 0; n < particles; ++n) {
        const float x =
            stackerBedMargin + stackerTravel * (static_cast<float>(n) + 0.5f) / static_cast<float>(particles);
        const std::array<double, 1> quality{40.0 + 2.0 * std::sin(static_cast<double>(n) / 97.0)};
        simulator.stack(x, z, AveragedParameters(1.0, quality));
        if (afterDrop) {
            afterDrop(n + 1);
        }
    }
}

}  // namespace korvex::scenes
