#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "pile/pile.h"
#include "pile/snapshot_files.h"
#include "pile_scenes.h"

using korvex::Engine;
using korvex::Pile;
using korvex::SnapshotError;
using korvex::SnapshotKind;
using korvex::SnapshotReader;
using korvex::testing::chunkColumns;
using korvex::testing::smallPileSettings;
using korvex::testing::stackerPass;
using korvex::testing::tableOf;

namespace {

/// Heights, then every slice's volume and sums, after the second half of the scene.
std::vector<double> finished(Pile& pile) {
    const auto rows = stackerPass(30, 1.3);
    pile.stackTable(tableOf(rows), chunkColumns);
    const auto heights = pile.heights();
    std::vector<double> result(heights.begin(), heights.end());
    for (const auto& slice : pile.reclaim()) {
        result.push_back(slice.material.volume);
        result.insert(result.end(), slice.material.sums.begin(), slice.material.sums.end());
    }
    return result;
}

std::vector<std::byte> halfStackedSnapshot(Pile& pile) {
    const auto rows = stackerPass(30, 1.3);
    pile.stackTable(tableOf(rows), chunkColumns);
    return korvex::frameSnapshot(SnapshotKind::pile, korvex::stateOf(pile), {});
}

TEST(PileSnapshot, GoesOnToTheBitAsThePileItWasTakenFrom) {
    Pile pile(smallPileSettings(Engine::fast, 3));
    const auto file = halfStackedSnapshot(pile);
    SnapshotReader in(korvex::openSnapshot(file, SnapshotKind::pile).payload);
    Pile loaded(in);
    // Compared as bits: equal doubles would let a NaN or a signed zero differ unseen.
    const auto expected = finished(pile);
    const auto got = finished(loaded);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(double)), 0);
}

struct Damage {
    const char* name;
    void (*apply)(std::vector<std::byte>&);
    const char* message;
};

const Damage damages[] = {
    {"truncated", [](std::vector<std::byte>& f) { f.resize(f.size() - 9); }, "snapshot is truncated"},
    {"corrupt", [](std::vector<std::byte>& f) { f[f.size() / 2] ^= std::byte{1}; }, "checksum does not match"},
    {"foreign", [](std::vector<std::byte>& f) { f[0] = std::byte{'P'}; }, "not a Korvex snapshot"},
    {"newer", [](std::vector<std::byte>& f) { f[8] = std::byte{2}; }, "version 2 is newer"},
};

class DamagedSnapshot : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedSnapshot, IsRefusedSayingHow) {
    Pile pile(smallPileSettings(Engine::fast, 3));
    auto file = halfStackedSnapshot(pile);
    GetParam().apply(file);
    try {
        korvex::openSnapshot(file, SnapshotKind::pile);
        FAIL() << "a " << GetParam().name << " snapshot was opened";
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedSnapshot, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PileSnapshot, OfTheDetailedEngineOrWithoutASeedIsRefused) {
    korvex::SnapshotWriter out;
    Pile detailed(smallPileSettings(Engine::detailed, 1));
    EXPECT_THROW(detailed.save(out), std::runtime_error);
    Pile shared(smallPileSettings(Engine::fast, std::nullopt));
    EXPECT_THROW(shared.save(out), std::runtime_error);
}

// A payload whose counts promise more than it holds is refused before anything is allocated for them.
TEST(PileSnapshot, PayloadCutShortIsRefusedAsCorrupt) {
    Pile pile(smallPileSettings(Engine::fast, 3));
    const auto rows = stackerPass(30, 1.3);
    pile.stackTable(tableOf(rows), chunkColumns);
    auto state = korvex::stateOf(pile);
    state.resize(state.size() / 2);
    SnapshotReader in(state);
    EXPECT_THROW(Pile{in}, SnapshotError);
}

}  // namespace
