#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/averaged_parameters.h"

namespace korvex {

template <class Material>
class Korvex;

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

/// Stacks every row of the table as one chunk, in row order. Throws, before
/// any row is stacked, ParameterCountError when the
/// table's quality columns are not as many as the pile's quality values, and
/// std::invalid_argument when the pile cannot hold the table's total volume
/// (checkRoomFor, checkMemoryFor) or a row's quality value is beyond the simulator's qualityLimit().
void stackChunks(Korvex<AveragedParameters>& simulator, const TableView& table, const ChunkColumns& columns);

}  // namespace korvex
