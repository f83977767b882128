#include "pile/snapshot_parts.h"

#include <array>

namespace korvex {

void writeGridAndNames(SnapshotWriter& out, std::uint32_t width, std::uint32_t depth,
                       const std::vector<std::string>& qualityNames) {
    out.u32(width);
    out.u32(depth);
    out.u64(qualityNames.size());
    for (const std::string& name : qualityNames) {
        out.text(name);
    }
}

void requireGrid(SnapshotReader& in, std::uint32_t columns, std::uint32_t rows, std::size_t bytesPerCell) {
    const std::uint32_t width = in.u32();
    const std::uint32_t depth = in.u32();
    if (width != columns || depth != rows) {
        throw SnapshotError("snapshot is corrupt: a grid of " + std::to_string(width) + " x " + std::to_string(depth) +
                            " cells where its settings make " + std::to_string(columns) + " x " +
                            std::to_string(rows));
    }
    in.require(std::uint64_t{width} * depth * bytesPerCell, "the grid of columns");
}

std::vector<std::string> readNames(SnapshotReader& in) {
    std::vector<std::string> qualityNames(in.count(8));
    for (std::string& name : qualityNames) {
        name = in.text();
    }
    return qualityNames;
}

void writeRandom(SnapshotWriter& out, const Xoshiro256StarStar& engine) {
    for (const std::uint64_t word : engine.words()) {
        out.u64(word);
    }
}

void readRandom(SnapshotReader& in, Xoshiro256StarStar& engine) {
    std::array<std::uint64_t, 4> words{};
    for (std::uint64_t& word : words) {
        word = in.u64();
    }
    if (!engine.restore(words)) {
        throw SnapshotError("snapshot is corrupt: its random generator's state is all zero");
    }
}

}  // namespace korvex
