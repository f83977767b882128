#include "tests/scenes/pile_figures.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/seeding.h"
#include "fast/korvex_fast.h"

namespace korvex::scenes {

HeightMapFigures heightMapFiguresOf(const Korvex<AveragedParameters>& simulator, float cellSize) {
    HeightMapFigures figures;
    const std::uint32_t width = simulator.heapMapColumns();
    const std::uint32_t depth = simulator.heapMapRows();
    const auto height = [&](std::uint32_t i, std::uint32_t j) {
        return static_cast<double>(simulator.heights()[std::size_t{j} * width + i]);
    };
    double heights = 0.0;
    double gradients = 0.0;
    std::size_t interior = 0;
    for (std::uint32_t j = 0; j < depth; ++j) {
        for (std::uint32_t i = 0; i < width; ++i) {
            const double h = height(i, j);
            if (h <= 0.0) {
                continue;
            }
            figures.footprint += 1.0;
            heights += h;
            figures.maxHeight = std::max(figures.maxHeight, h);
            if (i == 0 || j == 0 || i + 1 == width || j + 1 == depth) {
                continue;
            }
            const double west = height(i - 1, j);
            const double east = height(i + 1, j);
            const double south = height(i, j - 1);
            const double north = height(i, j + 1);
            if (west > 0.0 && east > 0.0 && south > 0.0 && north > 0.0) {
                gradients += std::atan(std::hypot(east - west, north - south) /
                                       (2.0 * static_cast<double>(cellSize))) *
                             180.0 / std::numbers::pi;
                ++interior;
            }
        }
    }
    figures.meanHeight = figures.footprint > 0.0 ? heights / figures.footprint : 0.0;
    figures.slope = interior > 0 ? gradients / static_cast<double>(interior) : 0.0;
    return figures;
}

namespace {

/// Volume-weighted variance of (volume, value) pairs.
class WeightedVariance {
public:
    void add(double volume, double value) {
        volume_ += volume;
        sum_ += volume * value;
        squares_ += volume * value * value;
    }
    double variance() const {
        const double mean = sum_ / volume_;
        return squares_ / volume_ - mean * mean;
    }

private:
    double volume_ = 0.0;
    double sum_ = 0.0;
    double squares_ = 0.0;
};

}  // namespace

double varianceReductionRatio(const ChunkRows& stacked, std::span<const ReclaimedSlice> reclaimed) {
    const std::size_t width = stacked.names.size();
    WeightedVariance in;
    for (std::size_t row = 0; row < stacked.rows; ++row) {
        in.add(stacked.cells[row * width + 3], stacked.cells[row * width + 4]);
    }
    WeightedVariance out;
    for (const ReclaimedSlice& slice : reclaimed) {
        const AveragedParameters& material = slice.material;
        if (material.volume > AveragedParameters::zeroVolume) {
            out.add(material.volume, material.sums[0] / material.volume);
        }
    }
    return out.variance() / in.variance();
}

namespace {

PileFigures figuresOf(KorvexFast<AveragedParameters>& simulator, const ChunkRows& rows) {
    stackRowByRow(simulator, rows);
    simulator.updateHeapMap();
    PileFigures figures{heightMapFiguresOf(simulator, simulator.cellSize()), 0.0};
    figures.vrr = varianceReductionRatio(rows, reclaimPile(simulator, simulator.cellSize()));
    return figures;
}

}  // namespace

PileFigures stackedPileFigures(const StackerScene& scene, DescentDraws draws, std::uint64_t seed) {
    const KorvexConfiguration configuration = configurationOf(scene);
    const ChunkRows rows = chunkRowsOf(scene);
    if (draws == DescentDraws::mersenneTwister) {
        FastRandomSources random{seededGenerator(seed)};
        KorvexFast<AveragedParameters> simulator(configuration, random);
        return figuresOf(simulator, rows);
    }
    SplitDrawSources random(seed);
    KorvexFast<AveragedParameters> simulator(configuration, random);
    return figuresOf(simulator, rows);
}

RunSpread spreadOf(std::span<const double> runs) {
    RunSpread spread;
    for (const double run : runs) {
        spread.mean += run;
    }
    spread.mean /= static_cast<double>(runs.size());
    double squares = 0.0;
    for (const double run : runs) {
        squares += (run - spread.mean) * (run - spread.mean);
    }
    spread.sd = runs.size() > 1 ? std::sqrt(squares / static_cast<double>(runs.size() - 1)) : 0.0;
    return spread;
}

}  // namespace korvex::scenes
