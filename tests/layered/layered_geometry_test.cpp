#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "core/reclaim_pile.h"
#include "layered/korvex_layered.h"
#include "tests/engine_access.h"

namespace korvex {
namespace {

using testing::EngineAccess;

// The share of a segment's box the face has passed, against a count over a fine raster of the box: exact
// integration, not the position of the box's centre.
struct Box {
    double position, left, width, bottom, top, run;
};

class Share : public ::testing::TestWithParam<Box> {};

TEST_P(Share, MatchesTheAreaPassedByTheFace) {
    const Box box = GetParam();
    const int raster = 1500;
    double passed = 0.0;
    for (int a = 0; a < raster; ++a) {
        const double y = box.bottom + (a + 0.5) / raster * (box.top - box.bottom);
        for (int b = 0; b < raster; ++b) {
            const double x = box.left + (b + 0.5) / raster * box.width;
            passed += x - y * box.run < box.position ? 1.0 : 0.0;
        }
    }
    EXPECT_NEAR(shareBefore(box.position, box.left, box.width, box.bottom, box.top, box.run),
                passed / (double{raster} * raster), 2e-3);
}

INSTANTIATE_TEST_SUITE_P(Boxes, Share,
                         ::testing::Values(Box{1.2, 1.0, 0.5, 0.0, 1.0, 1.0},    // the face's foot in the box
                                           Box{0.3, 1.0, 0.5, 0.5, 1.0, 1.0},    // cuts the top corner only
                                           Box{-2.7, 1.0, 0.5, 3.9, 4.0, 1.0},   // a thin segment high up
                                           Box{1.1, 1.0, 0.5, 0.0, 2.0, 0.2},    // a steep face
                                           Box{1.3, 1.0, 0.5, 0.0, 2.0, 0.0},    // a vertical face
                                           Box{0.0, 1.0, 0.5, 0.0, 0.3, 1.0}));  // not reached

// A bed of known layers, one row deep: on every column a 1 m layer of value 0 under a layer of value 1
// whose thickness grows along the bed. Slices half a metre apart, less than the 0.8 m cell, against the
// averages integrated over the layers' outline.
TEST(Reclaim, ASliceGetsExactlyTheLayersWithinItsWedge) {
    LayeredSettings settings;
    settings.cell_m = 0.8;
    const float angle_deg = 40.0f;
    KorvexConfiguration configuration;
    configuration.length = 16.0f;
    configuration.depth = 0.8f;
    configuration.reclaimAngle = angle_deg;
    KorvexLayered engine(configuration, settings);
    const double area = 0.64;
    for (std::uint32_t i = 0; i < engine.heapMapColumns(); ++i) {
        const double upper_m = 0.1 + 0.05 * i;
        EngineAccess::layOn(engine, i, 1.0, std::vector<double>{area, 0.0, 0.0});
        EngineAccess::layOn(engine, i, upper_m, std::vector<double>{upper_m * area, 0.0, upper_m * area});
    }
    const double run = 1.0 / std::tan(angle_deg * std::acos(-1.0) / 180.0);
    // Area of {x - y run < p} within x in [a, a + w], y in [y0, y1], by fine sums along y of the exact
    // passed length: an independent reckoning of the same outline.
    const auto passedArea = [&](double p, double a, double w, double y0, double y1) {
        const int steps = 20000;
        double sum = 0.0;
        for (int k = 0; k < steps; ++k) {
            const double y = y0 + (k + 0.5) / steps * (y1 - y0);
            sum += std::clamp(p + y * run - a, 0.0, w);
        }
        return sum * (y1 - y0) / steps;
    };
    const float step = 0.5f;
    const std::vector<ReclaimedSlice> slices = reclaimPile(engine, step);
    ASSERT_GT(slices.size(), 30u);
    for (std::size_t s = 1; s + 1 < slices.size(); ++s) {
        const double from = slices[s - 1].position;
        const double to = slices[s].position;
        double volume = 0.0;
        double marked = 0.0;
        for (std::uint32_t i = 0; i < engine.heapMapColumns(); ++i) {
            const double a = i * 0.8;
            const double top = 1.1 + 0.05 * i;
            const double lower = passedArea(to, a, 0.8, 0.0, 1.0) - passedArea(from, a, 0.8, 0.0, 1.0);
            const double upper = passedArea(to, a, 0.8, 1.0, top) - passedArea(from, a, 0.8, 1.0, top);
            volume += (lower + upper) * 0.8;
            marked += upper * 0.8;
        }
        EXPECT_NEAR(slices[s].material.volume, volume, 1e-6) << "slice at " << to << " m";
        if (volume > 1e-6) {
            EXPECT_NEAR(slices[s].material.sums[0] / slices[s].material.volume, marked / volume, 1e-6)
                << "slice at " << to << " m";
        }
    }
}

TEST(Merging, JoinsTheThinnestNeighboursAndKeepsEveryTotal) {
    LayeredColumn column;
    const std::size_t stride = firstQualityEntry + 1;
    const std::vector<double> thickness{0.3, 0.01, 0.02, 0.5, 0.04, 0.2};
    for (std::size_t k = 0; k < thickness.size(); ++k) {
        const std::vector<double> row{thickness[k], k * thickness[k], thickness[k] * (k + 1.0)};
        column.layOn(stride, thickness[k], row, 100);
    }
    column.mergeThinnest(stride, 4);
    // The thinnest pair (0.01 + 0.02) goes first, then the next thinnest (0.04 + 0.2), not 0.3 + 0.01,
    // which is thinner than the rest but shares a segment with the first.
    ASSERT_EQ(column.segments(), 4u);
    EXPECT_DOUBLE_EQ(column.thicknesses_m()[0], 0.3);
    EXPECT_DOUBLE_EQ(column.thicknesses_m()[1], 0.03);
    EXPECT_DOUBLE_EQ(column.thicknesses_m()[2], 0.5);
    EXPECT_DOUBLE_EQ(column.thicknesses_m()[3], 0.24);
    double volume = 0.0;
    double sum = 0.0;
    for (std::size_t s = 0; s < column.segments(); ++s) {
        volume += column.material(s, stride)[volumeEntry];
        sum += column.material(s, stride)[firstQualityEntry];
    }
    EXPECT_NEAR(volume, std::accumulate(thickness.begin(), thickness.end(), 0.0), 1e-15);
    EXPECT_NEAR(sum, 0.3 * 1 + 0.01 * 2 + 0.02 * 3 + 0.5 * 4 + 0.04 * 5 + 0.2 * 6, 1e-14);
}

}  // namespace
}  // namespace korvex
