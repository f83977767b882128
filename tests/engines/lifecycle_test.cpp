#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "core/reclaim_pile.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"

using korvex::AveragedParameters;
using korvex::Korvex;
using korvex::KorvexConfiguration;

namespace {

KorvexConfiguration smallPile() {
    KorvexConfiguration configuration;
    configuration.length = 8.0f;
    configuration.depth = 6.0f;
    configuration.reclaimAngle = 60.0f;
    configuration.particlesPerCubicMeter = 1.0f;
    configuration.eightNeighbourProbability = 0.5f;
    configuration.particleVolumeFactor = 1.0f;
    configuration.dropHeight = 2.0f;
    return configuration;
}

double reclaimedVolume(Korvex<AveragedParameters>& simulator) {
    const auto slices = korvex::reclaimPile(simulator, 0.5f);
    return std::accumulate(slices.begin(), slices.end(), 0.0,
                           [](double sum, const auto& slice) { return sum + slice.material.volume; });
}

template <class Engine>
void constructStackReclaimDestroy(int cycles, int particles) {
    const std::vector<double> values{1.0, 2.0};
    for (int cycle = 0; cycle < cycles; ++cycle) {
        auto simulator = std::make_unique<Engine>(smallPile());
        for (int k = 0; k < particles; ++k) {
            simulator->stack(2.0f + k, 3.0f, AveragedParameters(1.0, values));
        }
        ASSERT_DOUBLE_EQ(reclaimedVolume(*simulator), particles);
    }
}

}  // namespace

// Under the sanitizer build the leak checker reports anything these cycles
// leave behind when the test program exits.
TEST(Lifecycle, FastEngineReleasesEverythingOverManyCycles) {
    constructStackReclaimDestroy<korvex::KorvexFast<AveragedParameters>>(1000, 20);
}

TEST(Lifecycle, DetailedEngineReleasesEverythingOverManyCycles) {
    constructStackReclaimDestroy<korvex::KorvexDetailed<AveragedParameters>>(1000, 2);
}

TEST(Lifecycle, DestroyingUnreclaimedPilesReleasesEverything) {
    for (int cycle = 0; cycle < 50; ++cycle) {
        korvex::KorvexDetailed<AveragedParameters> detailed(smallPile());
        korvex::KorvexFast<AveragedParameters> fast(smallPile());
        for (auto* simulator : {static_cast<Korvex<AveragedParameters>*>(&detailed),
                                static_cast<Korvex<AveragedParameters>*>(&fast)}) {
            simulator->stack(4.0f, 3.0f, AveragedParameters(3.0, std::vector<double>{5.0}));
        }
    }
}
