#include "fast/column_counts.h"

#include <string>

#include "fast/descent.h"

namespace korvex {

void saveInnerCounts(SnapshotWriter& out, const ColumnCounts& counts, std::uint32_t width, std::uint32_t depth) {
    out.u32(width);
    out.u32(depth);
    for (std::size_t c = 1; c <= width; ++c) {
        out.rawInt32s(counts[c].subspan(1, depth));
    }
}

std::uint64_t loadInnerCounts(SnapshotReader& in, ColumnCounts& counts, std::uint32_t width, std::uint32_t depth) {
    const std::uint32_t savedWidth = in.u32();
    const std::uint32_t savedDepth = in.u32();
    if (savedWidth != width || savedDepth != depth) {
        throw SnapshotError("snapshot is corrupt: a grid of " + std::to_string(savedWidth) + " x " +
                            std::to_string(savedDepth) + " cells for a pile of " + std::to_string(width) +
                            " x " + std::to_string(depth));
    }
    std::uint64_t total = 0;
    for (std::size_t c = 1; c <= width; ++c) {
        const auto column = counts[c].subspan(1, depth);
        in.rawInt32s(column);
        for (const std::int32_t count : column) {
            if (count < 0 || count == borderCount) {
                throw SnapshotError("snapshot is corrupt: a column holds " + std::to_string(count) + " cubes");
            }
            total += static_cast<std::uint64_t>(count);
        }
    }
    return total;
}

}  // namespace korvex
