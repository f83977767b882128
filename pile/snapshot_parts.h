#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "fast/random_sources.h"

namespace korvex {

/// Writes what every pile's snapshot holds after its own settings: the grid's size (so that a reader can
/// check that the payload holds the grid before building it) and the quality names.
void writeGridAndNames(SnapshotWriter& out, std::uint32_t width, std::uint32_t depth,
                       const std::vector<std::string>& qualityNames);

/// Reads the grid's size that writeGridAndNames wrote and throws SnapshotError unless the rest of the
/// payload can hold that many column counts.
void requireGrid(SnapshotReader& in);

/// Reads the quality names that writeGridAndNames wrote.
std::vector<std::string> readNames(SnapshotReader& in);

/// The state of the random engine of a pile that draws: after the names.
void writeRandom(SnapshotWriter& out, const Xoshiro256StarStar& engine);
void readRandom(SnapshotReader& in, Xoshiro256StarStar& engine);

}  // namespace korvex
