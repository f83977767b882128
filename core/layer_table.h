#pragma once

#include <cstddef>
#include <vector>

namespace korvex {

/// The layers a layered pile holds, one entry per segment with material left in it, column by column in
/// heap-map order and from the ground up within a column: equal-length arrays, so that a caller can draw
/// cross-sections and views of the bed without knowing the engine's layout.
struct LayerTable {
    /// Centre of the segment's column, metres along and across the bed.
    std::vector<double> x_m;
    std::vector<double> z_m;
    /// Heights of the segment's range as laid, metres; reclaiming takes material, not height, so a segment
    /// the face has cut keeps its range and shows what is left of it in its volume.
    std::vector<double> bottom_m;
    std::vector<double> top_m;
    /// Material still in the segment, cubic metres.
    std::vector<double> volume_m3;
    /// Volume-weighted mean index of the deliveries that laid it, counted from 0.
    std::vector<double> delivery;
    /// Volume-weighted mean of each quality value: entry s * qualities + k is segment s's quality k.
    std::vector<double> values;
    std::size_t qualities = 0;

    std::size_t size() const { return volume_m3.size(); }
};

}  // namespace korvex
