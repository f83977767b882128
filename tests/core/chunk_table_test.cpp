#include "core/chunk_table.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/korvex.h"

using korvex::AveragedParameters;
using korvex::ChunkColumns;
using korvex::TableView;

namespace {

class RecordingSimulator : public korvex::Korvex<AveragedParameters> {
public:
    RecordingSimulator() : Korvex(configuration()) { initializeHeapMap(1, 1); }

    void clear() override {}
    void finishStacking() override {}
    bool reclaimingFinished() override { return true; }
    double heldVolume() const override { return static_cast<double>(drops.size()) * particleVolume(); }
    AveragedParameters reclaim(float) override { return {}; }
    void dropParticle(float x, float z, const AveragedParameters& particle) override {
        drops.push_back({x, z, particle.averages()});
    }

    struct Drop {
        float x, z;
        std::vector<double> averages;
    };
    std::vector<Drop> drops;

private:
    static korvex::KorvexConfiguration configuration() {
        korvex::KorvexConfiguration configuration;
        configuration.length = 10.0f;
        configuration.depth = 10.0f;
        configuration.reclaimAngle = 90.0f;
        configuration.particlesPerCubicMeter = 1.0f;
        configuration.eightNeighbourProbability = 0.0f;
        return configuration;
    }
};

// A row-major table of the given rows.
struct Table {
    std::vector<double> cells;
    std::size_t columns;

    TableView view() const {
        return {reinterpret_cast<const std::byte*>(cells.data()), cells.size() / columns, columns,
                static_cast<std::ptrdiff_t>(columns * sizeof(double)), sizeof(double)};
    }
};

std::vector<std::string> names(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

}  // namespace

TEST(ChunkColumns, RolesAreFoundByNameInAnyOrder) {
    const auto columns = korvex::resolveChunkColumns(names({"volume", "a", "x", "timestamp", "z", "b"}), 6);
    EXPECT_EQ(columns.volume, 0u);
    EXPECT_EQ(columns.x, 2u);
    EXPECT_EQ(columns.z, 4u);
    EXPECT_EQ(columns.parameters, (std::vector<std::size_t>{1, 5}));
    EXPECT_EQ(columns.parameterNames, names({"a", "b"}));
}

TEST(ChunkColumns, ALaterDuplicateRoleWins) {
    const auto columns = korvex::resolveChunkColumns(names({"x", "z", "volume", "x"}), 4);
    EXPECT_EQ(columns.x, 3u);
}

class ChunkColumnsRejected : public testing::TestWithParam<std::pair<std::vector<std::string>, std::string>> {
};

TEST_P(ChunkColumnsRejected, WithAMessageThatSaysWhy) {
    const auto& [columnNames, expected] = GetParam();
    try {
        korvex::resolveChunkColumns(columnNames, 4);
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChunkColumnsRejected,
    testing::Values(std::pair{names({"z", "volume", "q"}), std::string("no \"x\" column")},
                    std::pair{names({"x", "volume"}), std::string("no \"z\" column")},
                    std::pair{names({"x", "z", "q"}), std::string("no \"volume\" column")},
                    std::pair{names({"x", "z", "volume", "a", "b"}), std::string("5 column names")}));

TEST(TableView, ReadsThroughStrides) {
    // Column-major storage of a 2 x 3 table, as a transposed NumPy view has it.
    const std::vector<double> cells{1, 4, 2, 5, 3, 6};
    const TableView view{reinterpret_cast<const std::byte*>(cells.data()), 2, 3, sizeof(double),
                         2 * sizeof(double)};
    EXPECT_EQ(view.at(0, 2), 3.0);
    EXPECT_EQ(view.at(1, 0), 4.0);
    EXPECT_EQ(view.at(1, 2), 6.0);
}

TEST(StackChunks, StacksEveryRowInOrderAtItsPosition) {
    const Table table{{1.0, 2.0, 1.0, 10.0, 3.0, 4.0, 2.0, 20.0}, 4};
    const auto columns = korvex::resolveChunkColumns(names({"x", "z", "volume", "q"}), 4);
    RecordingSimulator simulator;
    korvex::stackChunks(simulator, table.view(), columns);
    ASSERT_EQ(simulator.drops.size(), 3u);
    EXPECT_EQ(simulator.drops[0].x, 1.0f);
    EXPECT_EQ(simulator.drops[0].averages, (std::vector<double>{10.0}));
    EXPECT_EQ(simulator.drops[2].z, 4.0f);
    EXPECT_EQ(simulator.drops[2].averages, (std::vector<double>{20.0}));
}

class ChunksRejected : public testing::TestWithParam<std::vector<double>> {};

TEST_P(ChunksRejected, NamingTheRow) {
    Table table{{1.0, 1.0, 1.0, 5.0}, 4};
    table.cells.insert(table.cells.end(), GetParam().begin(), GetParam().end());
    const auto columns = korvex::resolveChunkColumns(names({"x", "z", "volume", "q"}), 4);
    try {
        korvex::validateChunks(table.view(), columns);
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()).rfind("row 1: ", 0), 0u) << error.what();
    }
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    BadRows, ChunksRejected,
    testing::Values(std::vector<double>{nan, 1.0, 1.0, 5.0}, std::vector<double>{1.0, 1e300, 1.0, 5.0},
                    std::vector<double>{1.0, 1.0, -0.5, 5.0}, std::vector<double>{1.0, 1.0, inf, 5.0},
                    std::vector<double>{1.0, 1.0, 1.0, nan}, std::vector<double>{1.0, 1.0, 1e200, 1e200}));
