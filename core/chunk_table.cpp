#include "core/chunk_table.h"

#include <cmath>
#include <cstring>
#include <format>
#include <optional>
#include <stdexcept>

namespace korvex {

double TableView::at(std::size_t row, std::size_t column) const {
    double value;
    // Strided NumPy data need not be aligned for double.
    std::memcpy(&value,
                data + static_cast<std::ptrdiff_t>(row) * rowStride +
                    static_cast<std::ptrdiff_t>(column) * columnStride,
                sizeof value);
    return value;
}

TableCopy::TableCopy(const TableView& table) : rows(table.rows), columns(table.columns) {
    values.reserve(rows * columns);
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t column = 0; column < columns; ++column) {
            values.push_back(table.at(row, column));
        }
    }
}

TableView TableCopy::view() const {
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(double));
    return TableView{reinterpret_cast<const std::byte*>(values.data()), rows, columns,
                     static_cast<std::ptrdiff_t>(columns) * size, size};
}

ChunkColumns resolveChunkColumns(std::span<const std::string> names, std::size_t tableColumns) {
    if (names.size() > tableColumns) {
        throw std::invalid_argument(std::to_string(names.size()) + " column names given for a table of " +
                                    std::to_string(tableColumns) + " columns");
    }
    std::optional<std::size_t> x, z, volume;
    ChunkColumns columns;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name == "timestamp") {
            continue;
        }
        if (name == "x") {
            x = i;
        } else if (name == "z") {
            z = i;
        } else if (name == "volume") {
            volume = i;
        } else {
            columns.parameters.push_back(i);
            columns.parameterNames.push_back(name);
        }
    }
    for (const auto& [column, name] : {std::pair{x, "x"}, std::pair{z, "z"}, std::pair{volume, "volume"}}) {
        if (!column) {
            throw std::invalid_argument(std::string("the table has no \"") + name + "\" column");
        }
    }
    columns.x = *x;
    columns.z = *z;
    columns.volume = *volume;
    return columns;
}

void validateChunks(const TableView& table, const ChunkColumns& columns) {
    for (std::size_t row = 0; row < table.rows; ++row) {
        const auto fail = [row](const std::string& what) {
            throw std::invalid_argument("row " + std::to_string(row) + ": " + what + "; nothing was stacked");
        };
        if (!std::isfinite(static_cast<float>(table.at(row, columns.x))) ||
            !std::isfinite(static_cast<float>(table.at(row, columns.z)))) {
            fail("x and z must be finite single-precision numbers");
        }
        const double volume = table.at(row, columns.volume);
        if (!std::isfinite(volume) || volume < 0.0) {
            fail("volume must be finite and not negative, got " + std::to_string(volume));
        }
        for (std::size_t k = 0; k < columns.parameters.size(); ++k) {
            const double value = table.at(row, columns.parameters[k]);
            if (!std::isfinite(value) || !std::isfinite(volume * value)) {
                fail("quality value \"" + columns.parameterNames[k] + "\" must be finite");
            }
        }
    }
}

TableTotals checkedTableTotals(const TableView& table, const ChunkColumns& columns, double qualityLimit) {
    TableTotals totals;
    for (std::size_t row = 0; row < table.rows; ++row) {
        const double volume = table.at(row, columns.volume);
        totals.volume_m3 += volume;
        totals.anything =
            totals.anything || !columns.parameters.empty() || volume >= AveragedParameters::zeroVolume;
        for (std::size_t k = 0; k < columns.parameters.size(); ++k) {
            const double value = table.at(row, columns.parameters[k]);
            if (volume > 0.0 && !(std::fabs(value) <= qualityLimit)) {
                throw std::invalid_argument(
                    std::format("row {}: quality value \"{}\" of {:g} is beyond the {:g} in "
                                "magnitude that sums over this bed can hold; nothing was "
                                "stacked",
                                row, columns.parameterNames[k], value, qualityLimit));
            }
        }
    }
    return totals;
}

void fillChunk(const TableView& table, const ChunkColumns& columns, std::size_t row,
               AveragedParameters& chunk) {
    chunk.volume = table.at(row, columns.volume);
    for (std::size_t k = 0; k < chunk.sums.size(); ++k) {
        chunk.sums[k] = chunk.volume * table.at(row, columns.parameters[k]) + 0.0;
    }
}

}  // namespace korvex
