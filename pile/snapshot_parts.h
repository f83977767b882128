#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "fast/random_sources.h"

namespace korvex {

/// Writes what every pile's snapshot holds after its own settings: the grid's size (so that a reader can
/// check that the payload holds the grid before building it), the quality names and the random state.
void writeSharedParts(SnapshotWriter& out, std::uint32_t width, std::uint32_t depth,
                      const std::vector<std::string>& qualityNames, const Xoshiro256StarStar& engine);

/// Reads the grid's size that writeSharedParts wrote and throws SnapshotError unless the rest of the
/// payload can hold that many column counts.
void requireGrid(SnapshotReader& in);

/// Reads the quality names and the random state that writeSharedParts wrote.
void readNamesAndRandom(SnapshotReader& in, std::vector<std::string>& qualityNames, Xoshiro256StarStar& engine);

}  // namespace korvex
