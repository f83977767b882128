#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/settings.h"
#include "core/snapshot.h"
#include "fast/random_sources.h"

namespace korvex {

/// Writes what every pile's snapshot holds after its own settings: the grid's size (so that a reader can
/// check that the payload holds the grid before building it) and the quality names.
void writeGridAndNames(SnapshotWriter& out, std::uint32_t width, std::uint32_t depth,
                       const std::vector<std::string>& qualityNames);

/// Reads the grid's size that writeGridAndNames wrote and throws SnapshotError unless it is the `columns` x
/// `rows` grid the pile's settings make and the rest of the payload can hold `bytesPerCell` for each of its
/// cells: a damaged header must not make the reader allocate a grid the file does not hold.
void requireGrid(SnapshotReader& in, std::uint32_t columns, std::uint32_t rows, std::size_t bytesPerCell);

/// The geometry of settings read from a snapshot, checked before anything is built from them; throws
/// SnapshotError naming every problem checkSettings finds (a grid beyond the memory bound among them).
template <class Settings>
auto snapshotGeometry(const Settings& settings) {
    auto checked = checkSettings(settings);
    if (const auto* error = std::get_if<SettingsError>(&checked)) {
        throw SnapshotError(std::string("snapshot holds settings no pile is built from: ") + error->what());
    }
    return std::get<0>(std::move(checked));
}

/// Reads the quality names that writeGridAndNames wrote.
std::vector<std::string> readNames(SnapshotReader& in);

/// The state of the random engine of a pile that draws: after the names.
void writeRandom(SnapshotWriter& out, const Xoshiro256StarStar& engine);
void readRandom(SnapshotReader& in, Xoshiro256StarStar& engine);

}  // namespace korvex
