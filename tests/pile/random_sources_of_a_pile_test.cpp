#include "pile/pile.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fast/korvex_fast.h"
#include "tests/scenes/stacker_scene.h"

using korvex::Pile;
using korvex::PileSettings;

namespace {

PileSettings fastPile(std::optional<std::uint64_t> seed) {
    PileSettings settings;
    settings.configuration = korvex::scenes::configurationOf(korvex::scenes::tinyDemoBed);
    settings.seed = seed;
    return settings;
}

/// The tiny demo bed's rows stacked onto `pile`; its heights.
std::vector<float> stackedHeights(Pile& pile) {
    korvex::scenes::stackRowByRow(pile, korvex::scenes::chunkRowsOf(korvex::scenes::tinyDemoBed));
    const std::span<const float> heights = pile.heights();
    return {heights.begin(), heights.end()};
}

/// What a fast engine drawing from `random` makes of the same rows.
template <class Random>
std::vector<float> engineHeights(Random& random) {
    korvex::KorvexFast<korvex::AveragedParameters> engine(
        korvex::scenes::configurationOf(korvex::scenes::tinyDemoBed), random);
    korvex::scenes::stackRowByRow(engine, korvex::scenes::chunkRowsOf(korvex::scenes::tinyDemoBed));
    engine.updateHeapMap();
    return {engine.heights().data(),
            engine.heights().data() + std::size_t{engine.heapMapColumns()} * engine.heapMapRows()};
}

}  // namespace

// A seeded pile draws from split-draw sources of its own: the same seed stacks the same pile, another
// seed another one, and stacking on a second pile in between changes neither.
TEST(PileRandomSources, SeededPileDrawsSplitDrawsOfItsOwn) {
    Pile first(fastPile(11));
    Pile other(fastPile(12));
    Pile again(fastPile(11));
    const std::vector<float> heights = stackedHeights(first);
    const std::vector<float> otherHeights = stackedHeights(other);
    korvex::SplitDrawSources sources(11);
    EXPECT_EQ(heights, engineHeights(sources));
    EXPECT_EQ(stackedHeights(again), heights);
    EXPECT_NE(otherHeights, heights);
}

// Without a seed the pile draws from the process-wide Mersenne Twister sources, exactly as the module's
// simulators always have.
TEST(PileRandomSources, UnseededPileDrawsFromTheProcessWideSources) {
    Pile pile(fastPile(std::nullopt));
    korvex::seedFastRandomSources(19);
    const std::vector<float> heights = stackedHeights(pile);
    korvex::seedFastRandomSources(19);
    EXPECT_EQ(heights, engineHeights(korvex::fastRandomSources()));
}
