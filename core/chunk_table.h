#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/averaged_parameters.h"

namespace korvex {

/// A read-only view of a two-dimensional table of doubles laid out through
/// byte strides, as NumPy lays out an array; it owns nothing.
struct TableView {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::ptrdiff_t rowStride = 0;     ///< bytes from one row to the next
    std::ptrdiff_t columnStride = 0;  ///< bytes from one column to the next

    double at(std::size_t row, std::size_t column) const;
};

/// A table copied out of memory its caller may still change, so that what is checked is what is
/// stacked. Owns its values, row after row.
class TableCopy {
public:
    explicit TableCopy(const TableView& table);
    /// A view of the copy; valid as long as the copy lives.
    TableView view() const;

private:
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t columns = 0;
};

/// Which table column plays which role in a table of chunks.
struct ChunkColumns {
    std::size_t x = 0;
    std::size_t z = 0;
    std::size_t volume = 0;
    std::vector<std::size_t> parameters;       ///< quality columns, in table order
    std::vector<std::string> parameterNames;  ///< their names, in the same order
};

/// Maps column names to roles by exact name: "timestamp" is skipped, "x", "z"
/// and "volume" are the position and volume (a later duplicate wins), every
/// other name is a quality value. Throws std::invalid_argument when "x", "z"
/// or "volume" is missing or when there are more names than `tableColumns`.
ChunkColumns resolveChunkColumns(std::span<const std::string> names, std::size_t tableColumns);

/// Throws std::invalid_argument naming the first row whose position is not
/// finite in single precision, whose volume is negative or not finite, or
/// whose quality values (or their products with the volume) are not finite.
void validateChunks(const TableView& table, const ChunkColumns& columns);

/// What a table of chunks comes to: its total volume, and whether it brings anything at all (quality
/// columns, or a volume above AveragedParameters::zeroVolume).
struct TableTotals {
    double volume_m3 = 0.0;
    bool anything = false;
};

/// The totals of `table`, after refusing with std::invalid_argument, naming the row, a quality value of a
/// row with volume whose magnitude is beyond `qualityLimit`.
TableTotals checkedTableTotals(const TableView& table, const ChunkColumns& columns, double qualityLimit);

/// Fills `chunk`, whose sums are as many as the quality columns, with `row` of the table. Each sum is built
/// as the record's constructor builds it, added to a zero sum, which turns a product of -0 into +0.
void fillChunk(const TableView& table, const ChunkColumns& columns, std::size_t row,
               AveragedParameters& chunk);

/// Stacks every row of the table as one chunk, in row order. Throws, before any row is stacked,
/// ParameterCountError when the table's quality columns are not as many as the pile's quality values, and
/// std::invalid_argument when the bed cannot hold the table's total volume (its checkRoomFor and
/// checkMemoryFor) or a row's quality value is beyond its qualityLimit(). `Bed` is a particle engine
/// (Korvex) or the layered engine; either polls its interrupt check between rows.
template <class Bed>
void stackChunks(Bed& bed, const TableView& table, const ChunkColumns& columns) {
    // Every refusal comes before the first row, so that a table goes on the pile whole or not at all.
    const TableTotals totals = checkedTableTotals(table, columns, bed.qualityLimit());
    if (totals.anything) {
        bed.checkParameterCount(columns.parameters.size());
    }
    bed.checkRoomFor(totals.volume_m3);
    bed.checkMemoryFor(totals.volume_m3, columns.parameters.size());
    // One record refilled for every row, so that a table of one-particle rows does not pay an allocation
    // per row.
    AveragedParameters chunk(0.0, std::vector<double>(columns.parameters.size()));
    for (std::size_t row = 0; row < table.rows; ++row) {
        bed.pollInterrupt();
        fillChunk(table, columns, row, chunk);
        bed.stack(static_cast<float>(table.at(row, columns.x)), static_cast<float>(table.at(row, columns.z)),
                  chunk);
    }
}

}  // namespace korvex
