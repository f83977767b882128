#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/snapshot.h"

namespace korvex {

/// A grid of signed cube counts, one per (column, row), owned in one flat array stored column after
/// column, so that every neighbour of a cell lies a fixed offset away from it in `data()`.
class ColumnCounts {
public:
    ColumnCounts() = default;
    /// A grid of `columns` x `rows` zero counts.
    ColumnCounts(std::size_t columns, std::size_t rows) : rows_(rows), counts_(columns * rows) {}

    std::size_t columns() const { return rows_ == 0 ? 0 : counts_.size() / rows_; }
    std::size_t rows() const { return rows_; }

    /// The counts of column `c` (less than columns()), indexed by row.
    std::span<std::int32_t> operator[](std::size_t c) { return {counts_.data() + c * rows_, rows_}; }
    std::span<const std::int32_t> operator[](std::size_t c) const {
        return {counts_.data() + c * rows_, rows_};
    }

    /// Position of the count of (c, r) in data().
    std::size_t indexOf(std::size_t c, std::size_t r) const { return c * rows_ + r; }
    std::int32_t* data() { return counts_.data(); }
    const std::int32_t* data() const { return counts_.data(); }

private:
    std::size_t rows_ = 0;
    std::vector<std::int32_t> counts_;
};

/// Writes the `width` x `depth` inner cells of a grid bordered by one cell, column after column, with
/// the dimensions.
void saveInnerCounts(SnapshotWriter& out, const ColumnCounts& counts, std::uint32_t width, std::uint32_t depth);
/// Reads what saveInnerCounts wrote into a bordered grid of the same dimensions and returns the sum of the
/// counts. Throws SnapshotError for other dimensions or a count no column can hold.
std::uint64_t loadInnerCounts(SnapshotReader& in, ColumnCounts& counts, std::uint32_t width, std::uint32_t depth);

}  // namespace korvex
