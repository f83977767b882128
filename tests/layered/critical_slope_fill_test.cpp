#include "layered/critical_slope_fill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "layered/layered_column.h"

namespace korvex {
namespace {

// One delivery on a hand-built support of 0.5 m cells, 38 degrees, a footprint of 1 m.
struct Delivery {
    std::string name;
    std::uint32_t width, depth;
    double x_m, z_m, volume_m3;
    /// The support's height at a cell's centre.
    double (*support)(double x_m, double z_m);
    /// What the sweep gave when it was first written, to the bit: the level the new surface stands under,
    /// the volume its thicknesses add up to in the order the cells joined, and the cells reached. The checks
    /// below show they are the level and the volume of this support's equilibrium; a faster sweep must
    /// give them to the bit.
    double recordedLevel_m;
    double recordedVolume_m3;
    std::size_t recordedCells;
};

constexpr double cell_m = 0.5;
constexpr double footprintRadius_m = 0.5;
const double slope = std::tan(38.0 * std::numbers::pi / 180.0);

double flat(double, double) { return 0.0; }
// A ridge along x with its crest on the row of cell centres at z = 6.25 m, 3 m high, its flanks at the angle
// of repose.
double ridge(double, double z_m) { return std::max(0.0, 3.0 - slope * std::fabs(z_m - 6.25)); }
// A cone at the angle of repose standing on flat ground at (5, 5), 2 m high.
double cone(double x_m, double z_m) { return std::max(0.0, 2.0 - slope * std::hypot(x_m - 5.0, z_m - 5.0)); }

std::string nameOf(const ::testing::TestParamInfo<Delivery>& info) { return info.param.name; }

class Fill : public ::testing::TestWithParam<Delivery> {};

TEST_P(Fill, RestsAtTheLevelThatHoldsItsVolumeUnderTheCone) {
    const Delivery& d = GetParam();
    std::vector<double> height_m(std::size_t{d.width} * d.depth);
    for (std::uint32_t j = 0; j < d.depth; ++j) {
        for (std::uint32_t i = 0; i < d.width; ++i) {
            height_m[std::size_t{j} * d.width + i] = d.support((i + 0.5) * cell_m, (j + 0.5) * cell_m);
        }
    }
    CriticalSlopeFill fill;
    const auto& layers =
        fill.fill(height_m, d.width, d.depth, cell_m, slope, footprintRadius_m, d.x_m, d.z_m, d.volume_m3);
    const double sourceX = std::clamp(d.x_m, 0.0, d.width * cell_m);
    const double sourceZ = std::clamp(d.z_m, 0.0, d.depth * cell_m);
    auto fall = [&](std::size_t cell) {
        const double dx = (cell % d.width + 0.5) * cell_m - sourceX;
        const double dz = (cell / d.width + 0.5) * cell_m - sourceZ;
        return slope * std::max(0.0, std::hypot(dx, dz) - footprintRadius_m);
    };
    std::vector<double> after_m = height_m;
    std::vector<char> reached(height_m.size(), 0);
    double volume_m3 = 0.0;
    double level_m = -1.0;
    for (const auto& [cell, thickness_m] : layers) {
        EXPECT_GE(thickness_m, 0.0);
        volume_m3 += thickness_m * cell_m * cell_m;
        after_m[cell] += thickness_m;
        reached[cell] = 1;
        level_m = std::max(level_m, after_m[cell] + fall(cell));
    }
    EXPECT_NEAR(volume_m3, d.volume_m3, 1e-12 * d.volume_m3);
    // Every cell reached rises to the cone under one level, and the cone stands above no cell next to them
    // that it did not reach: the surface is max(support, level - slope * distance) over the reached region.
    for (std::size_t cell = 0; cell < height_m.size(); ++cell) {
        if (reached[cell]) {
            EXPECT_NEAR(after_m[cell], std::max(height_m[cell], level_m - fall(cell)), 1e-9)
                << "cell " << cell;
        } else {
            EXPECT_LE(level_m - fall(cell), height_m[cell] + 1e-9) << "cell " << cell;
        }
    }
    // No rise between neighbours is steeper than the angle of repose over the distance between their centres.
    for (std::uint32_t j = 0; j < d.depth; ++j) {
        for (std::uint32_t i = 0; i < d.width; ++i) {
            for (std::uint32_t nj = j > 0 ? j - 1 : 0; nj <= std::min(j + 1, d.depth - 1); ++nj) {
                for (std::uint32_t ni = i > 0 ? i - 1 : 0; ni <= std::min(i + 1, d.width - 1); ++ni) {
                    const double rise =
                        after_m[std::size_t{nj} * d.width + ni] - after_m[std::size_t{j} * d.width + i];
                    const double run = cell_m * std::hypot(double(ni) - i, double(nj) - j);
                    EXPECT_LE(rise, slope * run + 1e-9) << "cell " << i << ", " << j;
                }
            }
        }
    }
    std::printf("%s: level %a m, volume %a m3, %zu cells\n", d.name.c_str(), level_m, volume_m3,
                layers.size());
    EXPECT_EQ(level_m, d.recordedLevel_m);
    EXPECT_EQ(volume_m3, d.recordedVolume_m3);
    EXPECT_EQ(layers.size(), d.recordedCells);
}

INSTANTIATE_TEST_SUITE_P(
    Supports, Fill,
    ::testing::Values(
        // 40 m3 on flat ground: a cone 2.9 m high, far from the walls.
        Delivery{"ThickOnFlatGround", 40, 40, 10.0, 10.0, 40.0, flat, 0x1.3bf623fdeda62p+1,
                 0x1.400000000001fp+5, 164},
        // The same dropped in a corner, beyond the bed: it drops at the corner, held by both walls.
        Delivery{"AgainstTheWalls", 40, 40, -3.0, -1.0, 40.0, flat, 0x1.0957197b483eep+2,
                 0x1.4000000000006p+5, 108},
        // On the crest of a ridge at the angle of repose, more than the hollows under the cone's flat top
        // hold: it runs down both flanks and rises over the crest.
        Delivery{"OntoARidge", 40, 24, 10.0, 6.0, 20.0, ridge, 0x1.b5f88e9da15e5p+1, 0x1.4000000000012p+4,
                 166},
        // On the flank of a cone: a thick delivery buries the cone's top.
        Delivery{"OverACone", 24, 24, 6.0, 4.5, 30.0, cone, 0x1.4729e69086c2p+1, 0x1.e000000000017p+4, 180}),
    nameOf);

// On the crest of a ridge at the angle of repose every cell of the flanks below the footprint joins at one
// level, so that the source's cross-section is covered evenly down to the feet; a delivery too small to
// fill the hollows under the cone's flat top up to the crest shares itself among them.
TEST(Fill, CoversARidgesFlanksEvenly) {
    const std::uint32_t width = 40;
    const std::uint32_t depth = 24;
    std::vector<double> height_m(std::size_t{width} * depth);
    for (std::uint32_t j = 0; j < depth; ++j) {
        for (std::uint32_t i = 0; i < width; ++i) {
            height_m[std::size_t{j} * width + i] = ridge((i + 0.5) * cell_m, (j + 0.5) * cell_m);
        }
    }
    CriticalSlopeFill fill;
    const auto& layers =
        fill.fill(height_m, width, depth, cell_m, slope, footprintRadius_m, 10.25, 6.25, 6.0);
    std::vector<double> thickness_m(height_m.size(), 0.0);
    double volume_m3 = 0.0;
    for (const auto& [cell, thickness] : layers) {
        thickness_m[cell] = thickness;
        volume_m3 += thickness * cell_m * cell_m;
    }
    EXPECT_NEAR(volume_m3, 6.0, 1e-12 * 6.0);
    // The source's column, i = 20: on the flanks beyond the footprint, down to the last cell of the ridge.
    std::vector<double> flank;
    for (std::uint32_t j = 0; j < depth; ++j) {
        const double z = (j + 0.5) * cell_m;
        if (std::fabs(z - 6.25) > footprintRadius_m && height_m[std::size_t{j} * width + 20] > 0.0) {
            flank.push_back(thickness_m[std::size_t{j} * width + 20]);
        }
    }
    ASSERT_EQ(flank.size(), 12u);
    EXPECT_GT(flank.front(), 0.0);
    for (double thickness : flank) {
        EXPECT_NEAR(thickness, flank.front(), 1e-9);
    }
}

// Which neighbouring pairs a merging pass joins, worked out the plain way: every pair ordered by its
// thickness (ties to the lower pair), taken in that order when it shares no segment with one taken, until
// enough are taken; passes repeat until the column holds the target.
void mergeByOrderingEveryPair(std::vector<double>& thickness, std::vector<double>& rows, std::size_t stride,
                              std::size_t target) {
    while (thickness.size() > target) {
        const std::size_t count = thickness.size();
        std::vector<std::size_t> order(count - 1);
        for (std::size_t p = 0; p + 1 < count; ++p) {
            order[p] = p;
        }
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const double ta = thickness[a] + thickness[a + 1];
            const double tb = thickness[b] + thickness[b + 1];
            return ta < tb || (ta == tb && a < b);
        });
        std::vector<char> joins(count, 0);
        std::size_t merges = count - target;
        for (std::size_t p : order) {
            if (merges > 0 && !joins[p] && !joins[p + 1]) {
                joins[p] = 1;
                joins[p + 1] = 2;
                --merges;
            }
        }
        std::vector<double> t;
        std::vector<double> r;
        for (std::size_t k = 0; k < count; ++k) {
            if (joins[k] == 2) {
                continue;
            }
            t.push_back(thickness[k] + (joins[k] == 1 ? thickness[k + 1] : 0.0));
            for (std::size_t e = 0; e < stride; ++e) {
                r.push_back(rows[k * stride + e] + (joins[k] == 1 ? rows[(k + 1) * stride + e] : 0.0));
            }
        }
        thickness.swap(t);
        rows.swap(r);
    }
}

// Columns of random thicknesses, many of them equal, merged by the column and the plain way: the same
// segments, to the bit, whether one pass suffices or several are needed.
TEST(Merging, JoinsThePairsThatOrderingEveryPairWouldJoin) {
    std::mt19937 random(5);
    const std::size_t stride = firstQualityEntry + 2;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t count = 2 + random() % 300;
        const std::size_t target =
            1 + random() % (trial % 3 == 0 ? count : std::max<std::size_t>(count / 8, 1));
        LayeredColumn column;
        std::vector<double> thickness;
        std::vector<double> rows;
        for (std::size_t k = 0; k < count; ++k) {
            // A few values only, so that pairs of equal thickness are common; distinct quality values so that
            // every piece starts a segment.
            const double t =
                trial % 2 == 0 ? 0.01 * (1 + random() % 4) : std::ldexp(1.0 + random() % 1000, -12);
            const std::vector<double> row{t, static_cast<double>(k) * t, t * static_cast<double>(k + 1), -t};
            column.layOn(stride, t, row, count);
            thickness.push_back(t);
            rows.insert(rows.end(), row.begin(), row.end());
        }
        column.mergeThinnest(stride, target);
        mergeByOrderingEveryPair(thickness, rows, stride, target);
        ASSERT_EQ(column.segments(), thickness.size()) << "trial " << trial;
        for (std::size_t s = 0; s < thickness.size(); ++s) {
            ASSERT_EQ(column.thicknesses_m()[s], thickness[s]) << "trial " << trial << ", segment " << s;
            const auto material = column.material(s, stride);
            ASSERT_TRUE(std::equal(material.begin(), material.end(), rows.begin() + s * stride))
                << "trial " << trial << ", segment " << s;
        }
    }
}

}  // namespace
}  // namespace korvex
