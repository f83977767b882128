#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/chunk_table.h"
#include "fast/descent.h"
#include "fast_test_support.h"
#include "tests/scenes/bare_walk.h"
#include "tests/scenes/stacker_scene.h"

using namespace korvex::testing_support;
using korvex::scenes::StackerScene;

namespace {

StackerScene tinyWith(float eightNeighbourProbability, std::size_t passes) {
    StackerScene scene = korvex::scenes::tinyBed;
    scene.eightNeighbourProbability = eightNeighbourProbability;
    scene.passes = passes;
    return scene;
}

std::vector<std::int32_t> cellsOf(const korvex::ColumnCounts& counts) {
    return {counts.data(), counts.data() + counts.columns() * counts.rows()};
}

}  // namespace

class StackerScenes : public testing::TestWithParam<StackerScene> {};

TEST_P(StackerScenes, StackerRunsEndToEndAlongTheCentreLineTurningAtEachEnd) {
    const StackerScene scene = GetParam();
    const auto drops = korvex::scenes::dropsOf(scene);
    ASSERT_EQ(drops.size(), scene.particles);
    const std::size_t perPass = scene.particles / scene.passes;
    const float length = static_cast<float>(scene.columns);
    const float spacing = length / static_cast<float>(perPass);
    for (std::size_t pass = 0; pass < scene.passes; ++pass) {
        const bool forward = pass % 2 == 0;
        const auto* first = &drops[pass * perPass];
        EXPECT_NEAR(first->x, forward ? 0.0f : length, spacing) << "pass " << pass;
        EXPECT_NEAR(first[perPass - 1].x, forward ? length : 0.0f, spacing) << "pass " << pass;
        for (std::size_t k = 0; k < perPass; ++k) {
            ASSERT_EQ(first[k].z, static_cast<float>(scene.rows) / 2.0f);
            if (k > 0) {
                ASSERT_EQ(first[k].x > first[k - 1].x, forward) << "pass " << pass << ", drop " << k;
            }
        }
    }
}

// The bare walk is the benchmarks' measure of what placement costs without material: it must walk exactly
// as the engine does, from the same cells with the same draws, or the comparison means nothing.
TEST_P(StackerScenes, EnginePlacesEveryCubeWhereTheBareWalkDoes) {
    const StackerScene scene = GetParam();
    const auto drops = korvex::scenes::dropsOf(scene);
    Fast simulator(korvex::scenes::configurationOf(scene));
    korvex::seedFastRandomSources(17);
    for (const auto& drop : drops) {
        simulator.dropParticle(drop.x, drop.z, particle());
    }
    const auto engineAfterPlacement = korvex::fastRandomSources().engine;

    korvex::ColumnCounts counts(simulator.columnCounts().columns(), simulator.columnCounts().rows());
    korvex::clearBordered(counts);
    korvex::seedFastRandomSources(17);
    const auto steps =
        korvex::scenes::bareWalk(counts, drops, simulator.cellSize(), scene.eightNeighbourProbability);
    EXPECT_EQ(cellsOf(counts), cellsOf(simulator.columnCounts()));
    EXPECT_EQ(korvex::fastRandomSources().engine, engineAfterPlacement);
    EXPECT_EQ(totalCubes(simulator), static_cast<std::int64_t>(scene.particles));
    EXPECT_GT(steps, scene.particles);  // the first drops of a pass roll off the growing ridge
}

TEST_P(StackerScenes, TableOfOneParticlePerRowStacksAsItsRowsOneByOne) {
    const StackerScene scene = GetParam();
    const auto table = korvex::scenes::chunkRowsOf(scene);
    const auto view = table.view();
    const auto columns = korvex::resolveChunkColumns(table.names, view.columns);
    const auto configuration = korvex::scenes::configurationOf(scene);

    Fast fromTable(configuration);
    korvex::seedFastRandomSources(5);
    korvex::validateChunks(view, columns);
    korvex::stackChunks(fromTable, view, columns);

    Fast byRow(configuration);
    korvex::seedFastRandomSources(5);
    double quality = 0.0;
    for (std::size_t row = 0; row < table.rows; ++row) {
        const double* cells = &table.cells[row * table.names.size()];
        byRow.stack(static_cast<float>(cells[1]), static_cast<float>(cells[2]),
                    material(cells[3], {cells[4]}));
        quality += cells[3] * cells[4];
    }

    // What the benchmarks stack natively to compare the table reader against.
    Fast byRefilledRow(configuration);
    korvex::seedFastRandomSources(5);
    korvex::scenes::stackRowByRow(byRefilledRow, table);

    EXPECT_EQ(cellsOf(fromTable.columnCounts()), cellsOf(byRow.columnCounts()));
    EXPECT_EQ(cellsOf(byRefilledRow.columnCounts()), cellsOf(byRow.columnCounts()));
    ASSERT_EQ(fromTable.slices().size(), byRow.slices().size());
    double slicesVolume = 0.0;
    double slicesQuality = 0.0;
    for (std::size_t k = 0; k < byRow.slices().size(); ++k) {
        EXPECT_EQ(fromTable.slices()[k].volume, byRow.slices()[k].volume) << "slice " << k;
        EXPECT_EQ(fromTable.slices()[k].sums, byRow.slices()[k].sums) << "slice " << k;
        EXPECT_EQ(byRefilledRow.slices()[k].volume, byRow.slices()[k].volume) << "slice " << k;
        EXPECT_EQ(byRefilledRow.slices()[k].sums, byRow.slices()[k].sums) << "slice " << k;
        slicesVolume += fromTable.slices()[k].volume;
        slicesQuality += fromTable.slices()[k].sums.empty() ? 0.0 : fromTable.slices()[k].sums[0];
    }
    EXPECT_EQ(fromTable.pending().volume, 0.0);
    EXPECT_DOUBLE_EQ(slicesVolume, static_cast<double>(scene.particles));
    EXPECT_NEAR(slicesQuality, quality, 1e-9 * quality);
}

TEST_P(StackerScenes, RidgeSettlesToAStepOfAtMostOneCubeBetweenEdgeNeighbours) {
    const StackerScene scene = GetParam();
    Fast simulator(korvex::scenes::configurationOf(scene));
    korvex::seedFastRandomSources(3);
    for (const auto& drop : korvex::scenes::dropsOf(scene)) {
        simulator.dropParticle(drop.x, drop.z, particle());
    }
    const auto& counts = simulator.columnCounts();
    for (std::size_t c = 1; c <= simulator.heapMapColumns(); ++c) {
        for (std::size_t r = 1; r <= simulator.heapMapRows(); ++r) {
            if (c < simulator.heapMapColumns()) {
                ASSERT_LE(std::abs(counts[c][r] - counts[c + 1][r]), 1) << c << ", " << r;
            }
            if (r < simulator.heapMapRows()) {
                ASSERT_LE(std::abs(counts[c][r] - counts[c][r + 1]), 1) << c << ", " << r;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TinyBeds, StackerScenes,
                         testing::Values(korvex::scenes::tinyBed, tinyWith(0.0f, 10), tinyWith(1.0f, 4),
                                         tinyWith(0.5f, 1)),
                         [](const auto& info) { return "Scene" + std::to_string(info.index); });
