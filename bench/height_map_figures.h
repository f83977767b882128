#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

namespace korvex::bench {

/// What a user sees of a stacked pile: the height map's footprint, mean and highest height, and slope.
struct HeightMapFigures {
    double footprint = 0.0;   ///< cells raised, square metres for 1 m cells
    double meanHeight = 0.0;  ///< over the raised cells, metres
    double maxHeight = 0.0;   ///< metres
    double slope = 0.0;       ///< mean gradient over raised cells with four raised neighbours, degrees
};

/// The figures of a height map of `width` x `depth` cells `cellSize` metres wide, row by row along x.
inline HeightMapFigures figuresOf(const float* heights, std::uint32_t width, std::uint32_t depth,
                                  float cellSize) {
    HeightMapFigures figures;
    const auto height = [&](std::uint32_t i, std::uint32_t j) {
        return static_cast<double>(heights[std::size_t{j} * width + i]);
    };
    double sum = 0.0;
    double gradients = 0.0;
    std::size_t interior = 0;
    for (std::uint32_t j = 0; j < depth; ++j) {
        for (std::uint32_t i = 0; i < width; ++i) {
            const double h = height(i, j);
            if (h <= 0.0) {
                continue;
            }
            figures.footprint += 1.0;
            sum += h;
            figures.maxHeight = std::max(figures.maxHeight, h);
            if (i == 0 || j == 0 || i + 1 == width || j + 1 == depth) {
                continue;
            }
            const double west = height(i - 1, j);
            const double east = height(i + 1, j);
            const double south = height(i, j - 1);
            const double north = height(i, j + 1);
            if (west > 0.0 && east > 0.0 && south > 0.0 && north > 0.0) {
                const double cell = static_cast<double>(cellSize);
                gradients += std::atan(std::hypot(east - west, north - south) / (2.0 * cell)) * 180.0 /
                             std::numbers::pi;
                ++interior;
            }
        }
    }
    figures.meanHeight = figures.footprint > 0.0 ? sum / figures.footprint : 0.0;
    figures.slope = interior > 0 ? gradients / static_cast<double>(interior) : 0.0;
    return figures;
}

}  // namespace korvex::bench
