#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/snapshot.h"

namespace korvex {

/// Where material sits in a segment's row.
inline constexpr std::size_t volumeEntry = 0;
inline constexpr std::size_t deliveryEntry = 1;
inline constexpr std::size_t firstQualityEntry = 2;

/// What one column of the bed holds, as segments from the ground up. A segment keeps the thickness it was
/// laid with (reclaiming takes material, not height) and its material as one row of `stride` numbers:
/// the volume still there (m³), the volume-weighted sum of the delivery indices, and one volume-weighted sum
/// per quality value. The column does not keep the stride: its engine passes the one its rows were laid
/// with.
class LayeredColumn {
public:
    std::size_t segments() const { return thickness_m.size(); }
    /// Thickness of each segment as laid, from the ground up, metres.
    std::span<const double> thicknesses_m() const { return thickness_m; }
    /// Segment k's row of `stride` numbers.
    std::span<const double> material(std::size_t k, std::size_t stride) const {
        return std::span<const double>(rows).subspan(k * stride, stride);
    }
    /// Height of the top of the column as laid, metres.
    double height_m() const { return top_m; }

    /// Lays `thickness_m` of material `row` on top. It joins the top segment when that holds material of the
    /// same quality values (a delivery cut into pieces on its way along the bed), else it starts a segment.
    /// When the column then holds more than `bound` segments, the thinnest neighbours are merged until it
    /// holds an eighth fewer: volume and every sum are added, so nothing is lost.
    void layOn(std::size_t stride, double thickness_m, std::span<const double> row, std::size_t bound);
    /// Merges neighbouring segments, thinnest pairs first, until at most `target` remain.
    void mergeThinnest(std::size_t stride, std::size_t target);
    /// Moves into `taken` (`stride` sums) the material lying between the faces at `from_m` and `to_m`, the
    /// column spanning `left_m` to left_m + width_m. Everything the face at from_m had passed is gone
    /// already; a segment that the face at to_m has passed whole is emptied to the last bit, so that over a
    /// whole reclaim every number comes out exactly as it went in.
    void reclaimBetween(std::size_t stride, double from_m, double to_m, double left_m, double width_m,
                        double run, std::span<double> taken);
    /// Moves everything still in the column into `taken` and marks it reclaimed.
    void reclaimAll(std::size_t stride, std::span<double> taken);
    /// Forgets where the reclaimer got to, so that the next reclaim starts again from the top.
    void rewind();
    /// Forgets the segments but keeps the height: what is laid next lies on what was there, which holds
    /// nothing any more.
    void forgetMaterial();

    /// Writes the segments, their material and how far the reclaimer has got.
    void save(SnapshotWriter& out, std::size_t stride) const;
    /// Reads what save wrote with the same stride; throws SnapshotError for a column no stacking leaves.
    void load(SnapshotReader& in, std::size_t stride);

private:
    std::vector<double> thickness_m;
    /// Row k, `stride` numbers from k * stride, is segment k's material.
    std::vector<double> rows;
    double top_m = 0.0;
    /// Segments at the top that the reclaimer has taken whole, and their thickness: it starts below them.
    std::uint32_t reclaimedFromTop = 0;
    double reclaimedDepth_m = 0.0;
};

/// The part of the cell's material within a cut: the share of the segment's box x in [left_m, left_m +
/// width_m], y in [bottom_m, top_m] where x - y * run < position_m (run = 1 / tan of the face's slope,
/// 0 for a vertical face), integrated exactly over the box.
double shareBefore(double position_m, double left_m, double width_m, double bottom_m, double top_m, double run);

}  // namespace korvex
