#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <type_traits>
#include <vector>

#include "core/korvex.h"
#include "core/pile_engine.h"
#include "core/reclaim_pile.h"
#include "layered/korvex_layered.h"

namespace korvex {
namespace {

// A pile drives the layered engine through its own interface: the engine lays chunks whole and is no
// particle engine, so that it neither sets a particle density nor drops particles.
static_assert(std::is_base_of_v<PileEngine, KorvexLayered>);
static_assert(!std::is_base_of_v<Korvex<AveragedParameters>, KorvexLayered>);

KorvexConfiguration bed(float length_m, float depth_m, float reclaimAngle_deg) {
    KorvexConfiguration configuration;
    configuration.length = length_m;
    configuration.depth = depth_m;
    configuration.reclaimAngle = reclaimAngle_deg;
    return configuration;
}

double relativeError(double got, double expected) {
    return std::fabs(got - expected) / std::max(std::fabs(expected), 1e-300);
}

struct Totals {
    double volume = 0.0;
    std::vector<double> sums = std::vector<double>(3, 0.0);
    void add(const AveragedParameters& material) {
        volume += material.volume;
        for (std::size_t k = 0; k < material.sums.size(); ++k) {
            sums[k] += material.sums[k];
        }
    }
};

// Any sequence of stacking and partial reclaims, with few segments a column so that merging runs all the
// time, gives back every cubic metre and every quality total that went in.
class Conservation : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Conservation, EveryTotalComesOutAsItWentIn) {
    std::mt19937 random(GetParam());
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    LayeredSettings settings;
    settings.cell_m = 0.4 + unit(random);
    settings.reposeAngle_deg = 25.0 + 20.0 * unit(random);
    settings.streamFootprint_m = 2.0 * unit(random);
    settings.segmentsPerColumn = 2 + GetParam() % 5;
    KorvexLayered engine(bed(20.0f, 9.0f, static_cast<float>(20.0 + 70.0 * unit(random))), settings);
    Totals in;
    Totals out;
    double position = -5.0;
    for (int step = 0; step < 400; ++step) {
        if (unit(random) < 0.9) {
            // Off the bed now and then: such chunks drop at its edge.
            const AveragedParameters chunk(0.05 + 3.0 * unit(random),
                                           std::vector<double>{unit(random), 100.0 * unit(random) - 50.0, 1e6});
            engine.stack(static_cast<float>(22.0 * unit(random) - 1.0), static_cast<float>(10.0 * unit(random) - 0.5),
                         chunk);
            in.add(chunk);
        } else {
            position += 3.0 * unit(random);
            out.add(engine.reclaim(static_cast<float>(position)));
        }
    }
    // What the layers still hold, with what came out, is what went in: a partial reclaim leaves no segment
    // listed for material it took.
    Totals held = out;
    const LayerTable layers = engine.layers();
    for (std::size_t s = 0; s < layers.size(); ++s) {
        const auto means = layers.values.begin() + static_cast<std::ptrdiff_t>(s * layers.qualities);
        held.add(AveragedParameters(layers.volume_m3[s], std::vector<double>(means, means + 3)));
        EXPECT_LT(layers.bottom_m[s], layers.top_m[s]);
    }
    EXPECT_LT(relativeError(held.volume, in.volume), 1e-9);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_LT(relativeError(held.sums[k], in.sums[k]), 1e-9) << "quality " << k;
    }
    for (const ReclaimedSlice& slice : reclaimPile(engine, 0.37f)) {
        out.add(slice.material);
    }
    EXPECT_EQ(engine.layers().size(), 0u);
    EXPECT_LT(relativeError(out.volume, in.volume), 1e-9);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_LT(relativeError(out.sums[k], in.sums[k]), 1e-9) << "quality " << k;
    }
    EXPECT_EQ(engine.heldVolume(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Conservation, ::testing::Range(1u, 13u));

LayeredSettings fineGrid() {
    LayeredSettings settings;
    settings.cell_m = 0.25;
    settings.reposeAngle_deg = 38.0;
    settings.streamFootprint_m = 1.0;
    return settings;
}

TEST(Cone, StandsAtTheAngleOfReposeWithAFlatTopOverTheFootprint) {
    const LayeredSettings settings = fineGrid();
    KorvexLayered engine(bed(40.0f, 40.0f, 45.0f), settings);
    const double volume_m3 = 300.0;
    engine.stack(20.0f, 20.0f, AveragedParameters(volume_m3, std::vector<double>{1.0}));
    const double slope = std::tan(38.0 * std::numbers::pi / 180.0);
    // The cone with a flat top of the footprint's radius r and height H holds pi H (R^2 + R r + r^2) / 3,
    // R = r + H / slope: solve for H by bisection on the exact formula (the engine solves on its grid).
    const double r = 0.5;
    double low = 0.0;
    double high = 50.0;
    for (int k = 0; k < 200; ++k) {
        const double h = 0.5 * (low + high);
        const double R = r + h / slope;
        (std::numbers::pi * h * (R * R + R * r + r * r) / 3.0 < volume_m3 ? low : high) = h;
    }
    const double apex_m = std::ranges::max(engine.surface_m());
    EXPECT_NEAR(apex_m, low, 0.02 * low);
    // Every cell the cone covers lies on it: height = apex - slope * (distance beyond the footprint).
    std::size_t covered = 0;
    for (std::uint32_t j = 0; j < engine.heapMapRows(); ++j) {
        for (std::uint32_t i = 0; i < engine.heapMapColumns(); ++i) {
            const double height = engine.surface_m()[std::size_t{j} * engine.heapMapColumns() + i];
            const double distance = std::hypot((i + 0.5) * 0.25 - 20.0, (j + 0.5) * 0.25 - 20.0);
            const double cone = apex_m - slope * std::max(0.0, distance - r);
            if (height > 0.0) {
                ++covered;
                EXPECT_NEAR(height, cone, 1e-9);
            } else {
                EXPECT_LE(cone, 1e-9);
            }
        }
    }
    EXPECT_GT(covered, 1000u);
}

TEST(Ridge, FlanksStandAtTheAngleOfRepose) {
    const LayeredSettings settings = fineGrid();
    KorvexLayered engine(bed(40.0f, 20.0f, 45.0f), settings);
    // A stacker going to and fro on the centre line lays a Chevron ridge.
    for (int pass = 0; pass < 20; ++pass) {
        for (int k = 0; k <= 100; ++k) {
            const double x = 10.0 + 0.2 * (pass % 2 == 0 ? k : 100 - k);
            engine.stack(static_cast<float>(x), 10.0f, AveragedParameters(0.4, std::vector<double>{1.0 * pass}));
        }
    }
    const double slope = std::tan(38.0 * std::numbers::pi / 180.0);
    // Across the body, at x = 20 m: no rise between neighbouring rows is steeper than the angle of repose,
    // and each flank, from its foot to a metre below the crest, stands within 3 % of it.
    const std::uint32_t i = 80;
    std::vector<double> section;
    for (std::uint32_t j = 0; j < engine.heapMapRows(); ++j) {
        section.push_back(engine.surface_m()[std::size_t{j} * engine.heapMapColumns() + i]);
    }
    for (std::size_t j = 0; j + 1 < section.size(); ++j) {
        EXPECT_LE(std::fabs(section[j + 1] - section[j]), slope * 0.25 + 1e-9) << "rows " << j << ", " << j + 1;
    }
    const auto crest = std::max_element(section.begin(), section.end());
    const auto foot = std::find_if(section.begin(), section.end(), [](double h) { return h > 0.0; });
    const auto shoulder = std::find_if(foot, crest, [&](double h) { return h > *crest - 1.0; });
    ASSERT_GT(shoulder - foot, 10);
    const double flank = (*shoulder - *foot) / (0.25 * static_cast<double>(shoulder - foot));
    EXPECT_NEAR(flank, slope, 0.03 * slope);
}

TEST(ThinLayer, StaysALayerThinnerThanACell) {
    LayeredSettings settings = fineGrid();
    settings.cell_m = 0.5;
    KorvexLayered engine(bed(40.0f, 20.0f, 45.0f), settings);
    auto pass = [&](double volumePerChunk, double value, bool forward) {
        for (int k = 0; k <= 60; ++k) {
            const double x = 8.0 + 0.4 * (forward ? k : 60 - k);
            engine.stack(static_cast<float>(x), 10.0f, AveragedParameters(volumePerChunk, std::vector<double>{value}));
        }
    };
    for (int p = 0; p < 6; ++p) {
        pass(2.0, 0.0, p % 2 == 0);
    }
    const std::vector<double> before_m(engine.surface_m().begin(), engine.surface_m().end());
    pass(0.05, 1.0, true);  // about a centimetre over the cross-section
    for (int p = 0; p < 6; ++p) {
        pass(2.0, 0.0, p % 2 == 1);
    }
    // In the body, on the crest and down both flanks of the ridge it was laid on, the marked material lies
    // in one segment of its own, unmixed, between material of the other passes, and thinner than the cell.
    const std::uint32_t i = 40;
    std::size_t checked = 0;
    for (std::uint32_t j = 0; j < engine.heapMapRows(); ++j) {
        const std::size_t cell = std::size_t{j} * engine.heapMapColumns() + i;
        const LayeredColumn& column = engine.column(cell);
        if (before_m[cell] < 0.2) {
            continue;
        }
        std::size_t marked = 0;
        for (std::size_t s = 0; s < column.segments(); ++s) {
            const auto material = column.material(s, engine.segmentStride());
            const double value = material[firstQualityEntry] / material[volumeEntry];
            if (value > 0.0) {
                ++marked;
                EXPECT_DOUBLE_EQ(value, 1.0);
                EXPECT_LT(column.thicknesses_m()[s], 0.1 * *settings.cell_m);
                EXPECT_GT(s, 0u);
                EXPECT_LT(s + 1, column.segments());
            }
        }
        EXPECT_EQ(marked, 1u) << "row " << j;
        ++checked;
    }
    EXPECT_GT(checked, 10u);
}

TEST(Settings, OutOfRangeAreRefusedByName) {
    const auto refused = [](LayeredSettings settings, KorvexConfiguration configuration, const char* name) {
        try {
            KorvexLayered engine(configuration, settings);
            ADD_FAILURE() << name << " was accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
        }
    };
    const KorvexConfiguration straight = bed(10.0f, 5.0f, 45.0f);
    LayeredSettings settings;
    settings.reposeAngle_deg = 90.0;
    refused(settings, straight, "angle_of_repose_deg");
    settings = {};
    settings.cell_m = 0.0;
    refused(settings, straight, "cell_size_m");
    settings = {};
    settings.streamFootprint_m = -1.0;
    refused(settings, straight, "stream_footprint_m");
    settings = {};
    settings.segmentsPerColumn = 1;
    refused(settings, straight, "segments_per_column");
    KorvexConfiguration circular = straight;
    circular.circular = true;
    refused({}, circular, "circular");
    refused({}, bed(10.0f, 5.0f, 0.0f), "reclaim_angle_deg");
}

}  // namespace
}  // namespace korvex
