#include "core/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine_access.h"
#include "fast/korvex_fast.h"
#include "layered/korvex_layered.h"
#include "pile/particle_engines.h"
#include "pile/pile.h"
#include "pile/snapshot_files.h"
#include "pile_scenes.h"

using korvex::AveragedParameters;
using korvex::Engine;
using korvex::KorvexLayered;
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
    return korvex::frameSnapshot(pile.snapshotKind(), korvex::stateOf(pile), {});
}

const SnapshotKind pileKinds[] = {SnapshotKind::pile, SnapshotKind::layeredPile};

/// The engines whose piles have a snapshot.
class SavedPile : public ::testing::TestWithParam<Engine> {};

TEST_P(SavedPile, GoesOnToTheBitAsThePileItWasTakenFrom) {
    Pile pile(smallPileSettings(GetParam(), 3));
    const auto file = halfStackedSnapshot(pile);
    const korvex::OpenedSnapshot opened = korvex::openSnapshot(file, pileKinds);
    EXPECT_EQ(opened.kind, pile.snapshotKind());
    SnapshotReader in(opened.payload);
    Pile loaded(in, opened.kind);
    EXPECT_EQ(loaded.geometry().engine, GetParam());
    // Compared as bits: equal doubles would let a NaN or a signed zero differ unseen.
    const auto expected = finished(pile);
    const auto got = finished(loaded);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(double)), 0);
}

// A payload cut anywhere, its counts promising more than it holds, is refused before anything is
// allocated for them, and never read past its end.
TEST_P(SavedPile, PayloadCutShortAnywhereIsRefusedAsCorrupt) {
    Pile pile(smallPileSettings(GetParam(), 3));
    pile.stackTable(tableOf(stackerPass(30, 1.3)), chunkColumns);
    const auto state = korvex::stateOf(pile);
    for (std::size_t cut = 0; cut < state.size(); cut += 1 + state.size() / 97) {
        SnapshotReader in{std::span(state).first(cut)};
        EXPECT_THROW((Pile{in, pile.snapshotKind()}), SnapshotError) << "cut after " << cut << " bytes";
    }
}

// A snapshot of one kind is not read as another, whichever way round.
TEST_P(SavedPile, IsRefusedAsAnotherKind) {
    Pile pile(smallPileSettings(GetParam(), 3));
    const auto file = halfStackedSnapshot(pile);
    for (const SnapshotKind other : {SnapshotKind::pile, SnapshotKind::ring, SnapshotKind::layeredPile}) {
        if (other != pile.snapshotKind()) {
            EXPECT_THROW(korvex::openSnapshot(file, other), SnapshotError);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, SavedPile, ::testing::Values(Engine::fast, Engine::layered),
                         [](const auto& info) { return info.param == Engine::fast ? "Fast" : "Layered"; });

struct Damage {
    const char* name;
    void (*apply)(std::vector<std::byte>&);
    const char* message;
};

/// Writes the checksum of a file whose header was changed on purpose, as a writer of that header would.
void resealed(std::vector<std::byte>& file) {
    const std::uint64_t checksum = korvex::snapshotChecksum(std::span(file).subspan(8, file.size() - 16));
    for (std::size_t i = 0; i < 8; ++i) {
        file[file.size() - 8 + i] = static_cast<std::byte>((checksum >> (8 * i)) & 0xffu);
    }
}

const Damage damages[] = {
    {"truncated", [](std::vector<std::byte>& f) { f.resize(f.size() - 9); }, "snapshot is truncated"},
    {"corrupt", [](std::vector<std::byte>& f) { f[f.size() / 2] ^= std::byte{1}; }, "checksum does not match"},
    {"foreign", [](std::vector<std::byte>& f) { f[0] = std::byte{'P'}; }, "not a Korvex snapshot"},
    {"newer",
     [](std::vector<std::byte>& f) {
         f[8] = std::byte{2};
         resealed(f);
     },
     "version 2 is newer"},
    // A bit flipped in the version or a length field of a whole file is damage, not a newer format or a file
    // cut short.
    {"versionBit", [](std::vector<std::byte>& f) { f[9] ^= std::byte{0x10}; }, "header does not match its checksum"},
    {"payloadLengthBit", [](std::vector<std::byte>& f) { f[26] ^= std::byte{0x04}; },
     "header does not match its checksum"},
    {"noteLengthBit", [](std::vector<std::byte>& f) { f[21] ^= std::byte{0x01}; },
     "header does not match its checksum"},
    {"lengthBitBelowTheFile", [](std::vector<std::byte>& f) { f[24] ^= std::byte{0x01}; }, "snapshot is corrupt"},
};

class DamagedSnapshot : public ::testing::TestWithParam<std::tuple<Damage, Engine>> {};

TEST_P(DamagedSnapshot, IsRefusedSayingHow) {
    const auto& [damage, engine] = GetParam();
    Pile pile(smallPileSettings(engine, 3));
    auto file = halfStackedSnapshot(pile);
    damage.apply(file);
    try {
        korvex::openSnapshot(file, pileKinds);
        FAIL() << "a " << damage.name << " snapshot was opened";
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find(damage.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedSnapshot,
                         ::testing::Combine(::testing::ValuesIn(damages),
                                            ::testing::Values(Engine::fast, Engine::layered)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Engine::fast ? "Fast" : "Layered");
                         });

/// A state that no stacking leaves, made in the pile before it is saved: a snapshot edited with its checksum
/// written again.
struct Tampering {
    const char* name;
    Engine engine;
    void (*apply)(Pile&);
};

using korvex::testing::EngineAccess;

KorvexLayered& layeredOf(Pile& pile) { return EngineAccess::engineOf<KorvexLayered>(pile); }

korvex::KorvexFast<AveragedParameters>& fastOf(Pile& pile) {
    return EngineAccess::engineOf<korvex::KorvexFast<AveragedParameters>>(pile);
}

/// A segment of `row` (volume, delivery sum, quality sum) laid on a column of a layered pile.
void laid(Pile& pile, double thickness_m, std::vector<double> row) {
    EngineAccess::layOn(layeredOf(pile), 5, thickness_m, row);
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const Tampering tamperings[] = {
    // A column top of NaN made the next stack loop for ever, deaf to Ctrl-C.
    {"NaNHeight", Engine::layered, [](Pile& pile) { laid(pile, nan, {1.0, 0.0, 70.0}); }},
    {"NegativeSegmentVolume", Engine::layered, [](Pile& pile) { laid(pile, 0.5, {-0.375, 0.0, -26.0}); }},
    {"NaNQualitySum", Engine::layered, [](Pile& pile) { laid(pile, 0.5, {1.0, 0.0, nan}); }},
    // A changed quality count made every later stack fail.
    {"QualityCount", Engine::fast,
     [](Pile& pile) { EngineAccess::parameterCount(fastOf(pile)) = 3; }},
    {"NegativeSliceVolume", Engine::fast,
     [](Pile& pile) { EngineAccess::slices(fastOf(pile))[2].volume = -1.0; }},
};

class TamperedSnapshot : public ::testing::TestWithParam<Tampering> {};

TEST_P(TamperedSnapshot, IsRefusedAsCorruptWhenLoaded) {
    Pile pile(smallPileSettings(GetParam().engine, 3));
    pile.stackTable(tableOf(stackerPass(30, 1.3)), chunkColumns);
    GetParam().apply(pile);
    const auto state = korvex::stateOf(pile);
    SnapshotReader in(state);
    try {
        Pile loaded(in, pile.snapshotKind());
        FAIL() << "a pile with " << GetParam().name << " was loaded";
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find("snapshot is corrupt"), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(States, TamperedSnapshot, ::testing::ValuesIn(tamperings),
                         [](const auto& info) { return std::string(info.param.name); });

/// The bytes `material` is written as, with the count of quality values and of particles dropped after it:
/// where a layered bed's snapshot says what is pending.
std::vector<std::byte> pendingBytes(const AveragedParameters& material) {
    korvex::SnapshotWriter out;
    out.material(material);
    out.flag(true);
    out.u64(1);
    out.u64(0);
    return out.bytes();
}

// A layered bed lays every chunk whole: material pending in its snapshot is none that stacking leaves.
TEST(PileSnapshot, OfALayeredBedWithMaterialPendingIsRefusedAsCorrupt) {
    Pile pile(smallPileSettings(Engine::layered, 3));
    pile.stackTable(tableOf(stackerPass(30, 1.3)), chunkColumns);
    auto state = korvex::stateOf(pile);
    const auto none = pendingBytes(AveragedParameters(0.0, std::vector{0.0}));
    const auto some = pendingBytes(AveragedParameters(0.5, std::vector{3.0}));
    const auto at = std::search(state.begin(), state.end(), none.begin(), none.end());
    ASSERT_NE(at, state.end());
    ASSERT_EQ(std::search(at + 1, state.end(), none.begin(), none.end()), state.end());
    std::copy(some.begin(), some.end(), at);
    SnapshotReader in(state);
    try {
        Pile loaded(in, pile.snapshotKind());
        FAIL() << "a layered bed with material pending was loaded";
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find("snapshot is corrupt"), std::string::npos) << error.what();
    }
}

TEST(PileSnapshot, OfTheDetailedEngineOrWithoutASeedIsRefused) {
    korvex::SnapshotWriter out;
    Pile detailed(smallPileSettings(Engine::detailed, 1));
    EXPECT_THROW(detailed.save(out), std::runtime_error);
    Pile shared(smallPileSettings(Engine::fast, std::nullopt));
    EXPECT_THROW(shared.save(out), std::runtime_error);
}


}  // namespace
