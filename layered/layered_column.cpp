#include "layered/layered_column.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace korvex {

namespace {

/// Relative difference below which two quality values count as the same material.
constexpr double sameValue = 1e-12;
/// A segment this close to wholly passed by the face is taken whole, so that rounding leaves nothing behind.
constexpr double wholeShare = 1.0 - 1e-12;

bool sameQualities(std::span<const double> top, std::span<const double> row) {
    for (std::size_t k = firstQualityEntry; k < row.size(); ++k) {
        const double a = top[k] / top[volumeEntry];
        const double b = row[k] / row[volumeEntry];
        if (!(std::fabs(a - b) <= sameValue * std::max(std::fabs(a), std::fabs(b)))) {
            return false;
        }
    }
    return true;
}

/// Integral from -infinity to u of min(max(t, 0), w) dt.
double rampIntegral(double u, double w) {
    if (u <= 0.0) {
        return 0.0;
    }
    return u <= w ? 0.5 * u * u : w * (u - 0.5 * w);
}

void move(std::span<double> row, double share, std::span<double> taken) {
    for (std::size_t e = 0; e < row.size(); ++e) {
        const double part = row[e] * share;
        taken[e] += part;
        row[e] -= part;
    }
}

void moveAll(std::span<double> row, std::span<double> taken) {
    for (std::size_t e = 0; e < row.size(); ++e) {
        taken[e] += row[e];
        row[e] = 0.0;
    }
}

}  // namespace

void LayeredColumn::layOn(std::size_t stride, double thickness, std::span<const double> row,
                          std::size_t bound) {
    const std::size_t count = segments();
    top_m += thickness;
    if (count > 0 && reclaimedFromTop == 0) {
        std::span<double> top(rows.data() + (count - 1) * stride, stride);
        if (top[volumeEntry] > 0.0 && sameQualities(top, row)) {
            thickness_m.back() += thickness;
            for (std::size_t e = 0; e < stride; ++e) {
                top[e] += row[e];
            }
            return;
        }
    }
    if (thickness_m.size() == thickness_m.capacity()) {
        // Grow as a vector would, but to no more than the bound and the one segment laid before merging:
        // a full column then holds no spare room, and the thousands of columns a thick layer covers stay
        // within their share of memory.
        const std::size_t room = std::min(std::max<std::size_t>(2 * thickness_m.capacity(), 4), bound + 1);
        thickness_m.reserve(room);
        rows.reserve(room * stride);
    }
    thickness_m.push_back(thickness);
    rows.insert(rows.end(), row.begin(), row.end());
    if (segments() > bound) {
        // An eighth of the bound freed at a time: merging seldom enough to cost little per layer laid, and
        // keeping the column close to the bound's resolution.
        mergeThinnest(stride, bound - std::max<std::size_t>(bound / 8, 1));
    }
}

void LayeredColumn::mergeThinnest(std::size_t stride, std::size_t target) {
    target = std::max<std::size_t>(target, 1);
    // A neighbouring pair by its thickness; the first segment's index breaks ties, so that the order, and
    // with it which pairs merge, is fixed.
    struct Pair {
        double thickness_m;
        std::size_t first;
        bool operator<(const Pair& other) const {
            return thickness_m < other.thickness_m ||
                   (thickness_m == other.thickness_m && first < other.first);
        }
    };
    // Scratch space kept between calls: columns are merged often, and alike in size.
    thread_local std::vector<double> pairThickness;
    thread_local std::vector<char> clearOnLeft;
    thread_local std::vector<Pair> taken;
    while (segments() > target) {
        const std::size_t count = segments();
        const std::size_t last = count - 2;
        // One pass takes pairs that share no segment, the thinnest first, until enough are taken. Taken in
        // that order, a pair is taken unless a thinner neighbouring pair is; on a row of pairs that is
        // decided from each end in one sweep: a pair whose left neighbour is the thinner is clear on its
        // left side when that neighbour is not taken, which depends only on what lies left of it (its own
        // right neighbour being the thicker), and likewise on the right. The pass stops once enough are
        // taken, so it takes the thinnest of the pairs the whole pass would take.
        // Raw pointers, so that the compiler need not read the vectors again after every byte stored, and
        // the sweeps branch on nothing but their ends: the comparisons are as good as random.
        pairThickness.resize(count - 1);
        double* const t = pairThickness.data();
        for (std::size_t p = 0; p <= last; ++p) {
            t[p] = thickness_m[p] + thickness_m[p + 1];
        }
        clearOnLeft.resize(count - 1);
        char* const left = clearOnLeft.data();
        left[0] = 1;
        for (std::size_t p = 1; p <= last; ++p) {
            left[p] = static_cast<char>((t[p - 1] > t[p]) | !left[p - 1]);
        }
        taken.resize(count - 1);
        Pair* const kept = taken.data();
        std::size_t takenCount = 0;
        bool clearOnRight = true;
        for (std::size_t p = last + 1; p-- > 0;) {
            if (p < last) {
                clearOnRight = (t[p + 1] >= t[p]) | !clearOnRight;
            }
            kept[takenCount] = {t[p], p};
            takenCount += static_cast<std::size_t>(clearOnRight & (left[p] != 0));
        }
        taken.resize(takenCount);
        const std::size_t merges = std::min(count - target, taken.size());
        if (merges < taken.size()) {
            std::nth_element(taken.begin(), taken.begin() + static_cast<std::ptrdiff_t>(merges), taken.end());
        }
        // Merged from the bottom up: each pair joins into one segment, and the segments between two pairs
        // move down together; those below the lowest pair stay where they are.
        std::sort(taken.begin(), taken.begin() + static_cast<std::ptrdiff_t>(merges),
                  [](const Pair& a, const Pair& b) { return a.first < b.first; });
        std::size_t out = taken[0].first;
        std::size_t from = out;
        for (std::size_t m = 0; m < merges; ++m) {
            const std::size_t p = taken[m].first;
            std::copy(thickness_m.begin() + from, thickness_m.begin() + p, thickness_m.begin() + out);
            std::copy(rows.begin() + from * stride, rows.begin() + p * stride, rows.begin() + out * stride);
            out += p - from;
            thickness_m[out] = thickness_m[p] + thickness_m[p + 1];
            for (std::size_t e = 0; e < stride; ++e) {
                rows[out * stride + e] = rows[p * stride + e] + rows[(p + 1) * stride + e];
            }
            ++out;
            from = p + 2;
        }
        std::copy(thickness_m.begin() + from, thickness_m.end(), thickness_m.begin() + out);
        std::copy(rows.begin() + from * stride, rows.end(), rows.begin() + out * stride);
        out += count - from;
        thickness_m.resize(out);
        rows.resize(out * stride);
    }
    // Merging may join a taken segment with one that is not: the reclaimer starts from the top again.
    rewind();
}

void LayeredColumn::rewind() {
    reclaimedFromTop = 0;
    reclaimedDepth_m = 0.0;
}

void LayeredColumn::forgetMaterial() {
    thickness_m.clear();
    rows.clear();
    rewind();
}

void LayeredColumn::save(SnapshotWriter& out, std::size_t stride) const {
    out.u64(segments());
    out.rawDoubles(thickness_m);
    out.rawDoubles(std::span(rows).first(segments() * stride));
    out.f64(top_m);
    out.u32(reclaimedFromTop);
    out.f64(reclaimedDepth_m);
}

void LayeredColumn::load(SnapshotReader& in, std::size_t stride) {
    const std::size_t count = in.count(8 * (1 + stride));
    if (count > 0 && stride < firstQualityEntry) {
        throw SnapshotError("snapshot is corrupt: a column holds segments of no material");
    }
    thickness_m.resize(count);
    in.rawDoubles(thickness_m);
    rows.resize(count * stride);
    in.rawDoubles(rows);
    top_m = in.f64();
    reclaimedFromTop = in.u32();
    reclaimedDepth_m = in.f64();
    if (reclaimedFromTop > count) {
        throw SnapshotError("snapshot is corrupt: a column has more segments reclaimed than it holds");
    }
    // What no stacking leaves would make a later call loop (a height of NaN), hand out negative volumes or
    // spread NaN into the slices: the file is refused instead.
    const auto corrupt = [](const char* what) {
        throw SnapshotError(std::string("snapshot is corrupt: a column holds ") + what);
    };
    double laid_m = 0.0;
    for (const double thickness : thickness_m) {
        if (!(thickness > 0.0) || !std::isfinite(thickness)) {
            corrupt("a segment whose thickness is not positive and finite");
        }
        laid_m += thickness;
    }
    // The height adds up the thicknesses laid in another order than the segments do, and merging adds them
    // again: they agree to rounding.
    const double rounding = 1e-9 * std::max(top_m, 1.0);
    if (!(top_m >= 0.0) || !std::isfinite(top_m) || !(laid_m <= top_m + rounding)) {
        corrupt("a height that is not finite, negative or below its segments");
    }
    if (!(reclaimedDepth_m >= 0.0 && reclaimedDepth_m <= top_m + rounding)) {
        corrupt("a reclaimed depth outside its height");
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::span<const double> row = material(k, stride);
        if (!(row[volumeEntry] >= 0.0) || !std::isfinite(row[volumeEntry]) || !(row[deliveryEntry] >= 0.0) ||
            !std::isfinite(row[deliveryEntry])) {
            corrupt("a segment whose volume or delivery is negative or not finite");
        }
        for (std::size_t e = firstQualityEntry; e < stride; ++e) {
            if (!std::isfinite(row[e])) {
                corrupt("a segment whose quality values are not finite");
            }
        }
    }
}

double shareBefore(double position_m, double left_m, double width_m, double bottom_m, double top_m, double run) {
    // A row at height y of the box is passed where x < position + run * y.
    const double atBottom = position_m + run * bottom_m - left_m;
    const double atTop = position_m + run * top_m - left_m;
    if (atBottom >= width_m) {
        return 1.0;
    }
    if (atTop <= 0.0) {
        return 0.0;
    }
    const double rise = atTop - atBottom;
    if (rise <= 1e-9 * width_m) {
        // A vertical face, or a segment too thin for the difference below: the passed length is linear
        // in y over the segment, so its value at mid-height is its mean.
        return std::clamp(0.5 * (atBottom + atTop) / width_m, 0.0, 1.0);
    }
    const double area = rampIntegral(atTop, width_m) - rampIntegral(atBottom, width_m);
    return std::clamp(area / (rise * width_m), 0.0, 1.0);
}

void LayeredColumn::reclaimBetween(std::size_t stride, double from_m, double to_m, double left_m,
                                   double width_m, double run, std::span<double> taken) {
    const std::size_t count = segments();
    double top = top_m - reclaimedDepth_m;
    bool wholeAbove = true;
    for (std::size_t k = count - reclaimedFromTop; k-- > 0;) {
        const double bottom = top - thickness_m[k];
        // Lower segments lie further ahead of the face: once one is untouched, so is the rest.
        if (to_m + run * top - left_m <= 0.0) {
            break;
        }
        std::span<double> row(rows.data() + k * stride, stride);
        const double shareTo = shareBefore(to_m, left_m, width_m, bottom, top, run);
        if (shareTo >= wholeShare) {
            moveAll(row, taken);
            if (wholeAbove) {
                ++reclaimedFromTop;
                reclaimedDepth_m += thickness_m[k];
            }
        } else {
            wholeAbove = false;
            const double shareFrom = shareBefore(from_m, left_m, width_m, bottom, top, run);
            if (shareTo > shareFrom) {
                move(row, (shareTo - shareFrom) / (1.0 - shareFrom), taken);
            }
        }
        top = bottom;
    }
}

void LayeredColumn::reclaimAll(std::size_t stride, std::span<double> taken) {
    const std::size_t count = segments();
    for (std::size_t k = 0; k < count; ++k) {
        moveAll(std::span<double>(rows.data() + k * stride, stride), taken);
    }
    reclaimedFromTop = static_cast<std::uint32_t>(count);
    reclaimedDepth_m = top_m;
}

}  // namespace korvex
