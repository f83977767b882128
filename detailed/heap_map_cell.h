#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace korvex {

// A heap-map cell index is the integer nearest to a coordinate scaled by the inverse particle size,
// halves rounded away from zero. Bodies can end up anywhere, NaN included, and converting such a
// float to an integer is undefined, so the range is decided in floating point before rounding.

/// The cell nearest to `scaled`, clamped into 0 .. count - 1; none when `scaled` is NaN.
/// `count` must be at least 1.
inline std::optional<std::uint32_t> clampedCell(float scaled, std::uint32_t count) {
    if (std::isnan(scaled)) {
        return std::nullopt;
    }
    const double bounded = std::clamp(static_cast<double>(scaled), 0.0, static_cast<double>(count - 1));
    return static_cast<std::uint32_t>(std::lround(bounded));
}

/// The cell nearest to `scaled`, or none when that cell lies outside 0 .. count - 1 or `scaled`
/// is NaN.
inline std::optional<std::uint32_t> cellWithin(float scaled, std::uint32_t count) {
    const double value = scaled;
    if (!(value > -0.5 && value < static_cast<double>(count) - 0.5)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::lround(value));
}

}  // namespace korvex
