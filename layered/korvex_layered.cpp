#include "layered/korvex_layered.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/bed_bounds.h"

namespace korvex {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The memory estimate counts these per cell; a column's segments are counted on their own.
static_assert(sizeof(float) + sizeof(double) + sizeof(LayeredColumn) + CriticalSlopeFill::scratchBytesPerCell <=
              layeredBytesPerCell);

PileGeometry layeredGeometryOf(const KorvexConfiguration& configuration, const LayeredSettings& settings) {
    PileSettings pile;
    pile.configuration = configuration;
    pile.engine = Engine::layered;
    pile.layered = settings;
    return checkedGeometry(pile);
}

}  // namespace

KorvexLayered::KorvexLayered(const KorvexConfiguration& configuration, const LayeredSettings& settings)
    : KorvexLayered(layeredGeometryOf(configuration, settings), settings) {}

KorvexLayered::KorvexLayered(const PileGeometry& geometry, const LayeredSettings& settings)
    : configuration(geometry.configuration),
      layered(resolvedLayeredSettings(settings, geometry.configuration)),
      width(geometry.columns),
      depth(geometry.rows),
      reposeSlope(std::tan(settings.reposeAngle_deg * std::numbers::pi / 180.0)),
      faceRun(geometry.verticalFace ? 0.0 : 1.0 / geometry.faceSlope) {
    if (auto problem = layeredMemoryProblem(geometry.columns, geometry.rows, layered, 0)) {
        throw SettingsError({std::move(*problem)});
    }
    clear();
}

void KorvexLayered::clear() {
    const std::size_t cells = std::size_t{width} * depth;
    height_m.assign(cells, 0.0);
    heapMap.assign(cells, 0.0f);
    columns.assign(cells, LayeredColumn{});
    deliveries = 0;
    reclaimedTo_m = -infinity;
    materialEnd_m = -infinity;
    heldVolume_m3 = 0.0;
    highest_m = 0.0;
}

void KorvexLayered::stack(float x_m, float z_m, const AveragedParameters& material) {
    // Polled before anything is checked or laid: a delivery is laid whole or not at all.
    pollInterrupt();
    checkMemoryFor(material.volume, material.sums.size());
    checkChunkValues(x_m, z_m, material);
    // Material of no volume and no quality values is nothing at all and fixes nothing.
    if (material.sums.empty() && material.volume < AveragedParameters::zeroVolume) {
        return;
    }
    checkParameterCount(material.sums.size());
    checkRoomFor(material.volume);
    checkQualityMagnitudes(material, qualityLimit());
    parameterCount = material.sums.size();
    // Laid as its volume times its averages, not as its sums: the rounding with which the engine's
    // determinism hash was pinned, and the one a particle engine gives a whole chunk.
    AveragedParameters whole;
    whole.add(material);
    const AveragedParameters delivery = whole.pop(whole.volume);
    if (delivery.volume > AveragedParameters::zeroVolume) {
        deliver(x_m, z_m, delivery);
    }
}

void KorvexLayered::stackTable(const TableView& table, const ChunkColumns& columns) {
    stackChunks(*this, table, columns);
}

double KorvexLayered::qualityLimit() const { return qualityLimitFor(bedCapacity_m3(configuration)); }

void KorvexLayered::checkParameterCount(std::size_t count) const {
    if (parameterCount && *parameterCount != count) {
        throw ParameterCountError();
    }
}

void KorvexLayered::checkRoomFor(double volume_m3) const {
    checkBedRoom(heldVolume_m3, volume_m3, bedCapacity_m3(configuration));
}

void KorvexLayered::checkMemoryFor(double, std::size_t qualities) const {
    // The first material fixes the count of quality values, and with it what the columns may take.
    if (parameterCount) {
        return;
    }
    if (auto problem = layeredMemoryProblem(width, depth, layered, qualities)) {
        throw std::invalid_argument(*problem + "; nothing was stacked");
    }
}

double KorvexLayered::reclaimReach() const { return bedReclaimReach_m(configuration); }

void KorvexLayered::rewindReclaimer() {
    reclaimedTo_m = -infinity;
    for (LayeredColumn& column : columns) {
        column.rewind();
    }
}

void KorvexLayered::deliver(double x_m, double z_m, const AveragedParameters& material) {
    if (reclaimedTo_m > -infinity) {
        rewindReclaimer();
    }
    stride = firstQualityEntry + material.sums.size();
    const auto& layers = fill.fill(height_m, width, depth, *layered.cell_m, reposeSlope,
                                   0.5 * layered.streamFootprint_m, x_m, z_m, material.volume);
    double total_m = 0.0;
    for (const auto& [cell, thickness_m] : layers) {
        total_m += thickness_m;
    }
    // Each column receives the delivery's material in proportion to the thickness laid on it, so that the
    // volume and every sum laid add up to the delivery's own, whatever rounding did to the thicknesses.
    const double index = static_cast<double>(deliveries);
    row.resize(stride);
    for (const auto& [cell, thickness_m] : layers) {
        if (!(thickness_m > 0.0)) {
            continue;
        }
        const double share = thickness_m / total_m;
        row[volumeEntry] = material.volume * share;
        row[deliveryEntry] = index * row[volumeEntry];
        for (std::size_t k = 0; k < material.sums.size(); ++k) {
            row[firstQualityEntry + k] = material.sums[k] * share;
        }
        layOnCell(cell, thickness_m, row);
    }
    heldVolume_m3 += material.volume;
    delivered_m3 += material.volume;
    ++deliveries;
}

void KorvexLayered::layOnCell(std::size_t cell, double thickness_m, std::span<const double> material) {
    columns[cell].layOn(stride, thickness_m, material, layered.segmentsPerColumn);
    height_m[cell] = columns[cell].height_m();
    highest_m = std::max(highest_m, height_m[cell]);
    materialEnd_m = std::max(materialEnd_m, static_cast<double>(cell % width + 1) * *layered.cell_m);
}

void KorvexLayered::forgetMaterial() {
    for (LayeredColumn& column : columns) {
        column.forgetMaterial();
    }
    stride = 0;
    heldVolume_m3 = 0.0;
    reclaimedTo_m = -infinity;
    materialEnd_m = -infinity;
    parameterCount.reset();
}

void KorvexLayered::save(SnapshotWriter& out) const {
    // Written where a particle engine writes its pending material and its count of particles dropped, of
    // which a layered bed has none, so that its snapshots keep the layout they have always had.
    out.material(AveragedParameters(0.0, std::vector<double>(parameterCount.value_or(0), 0.0)));
    out.flag(parameterCount.has_value());
    out.u64(parameterCount.value_or(0));
    out.u64(0);
    out.u64(stride);
    out.u64(deliveries);
    out.f64(reclaimedTo_m);
    out.f64(heldVolume_m3);
    for (const LayeredColumn& column : columns) {
        column.save(out, stride);
    }
}

void KorvexLayered::load(SnapshotReader& in) {
    clear();
    const AveragedParameters pending = in.material();
    const bool counted = in.flag();
    const std::uint64_t count = in.u64();
    const std::uint64_t particlesDropped = in.u64();
    parameterCount.reset();
    if (counted) {
        parameterCount = static_cast<std::size_t>(count);
    }
    const bool sumsAsCounted = pending.sums.empty() || (counted && pending.sums.size() == count);
    if (pending.volume != 0.0 || particlesDropped != 0 || !sumsAsCounted ||
        !std::ranges::all_of(pending.sums, [](double sum) { return sum == 0.0; })) {
        throw SnapshotError("snapshot is corrupt: material is pending, which the layered engine lays whole");
    }
    stride = static_cast<std::size_t>(in.u64());
    // A stride no stacking leaves would make the columns' rows unreadable; one beyond the bytes left would
    // make their sizes overflow.
    if (stride > in.remaining() / 8 ||
        (stride != 0 && !(parameterCount && stride == firstQualityEntry + *parameterCount))) {
        throw SnapshotError(
            "snapshot is corrupt: its segments' material does not match the quality values stacked");
    }
    if (parameterCount) {
        if (auto problem = layeredMemoryProblem(width, depth, layered, *parameterCount)) {
            throw SnapshotError("snapshot holds a bed beyond this Korvex's bound: " + *problem);
        }
    }
    deliveries = in.u64();
    reclaimedTo_m = in.f64();
    heldVolume_m3 = in.f64();
    if (std::isnan(reclaimedTo_m) || reclaimedTo_m == infinity || !(heldVolume_m3 >= 0.0) ||
        !std::isfinite(heldVolume_m3)) {
        throw SnapshotError("snapshot is corrupt: the reclaimer's position or the volume held is none that "
                            "stacking and reclaiming leave");
    }
    for (LayeredColumn& column : columns) {
        column.load(in, stride);
    }
    followColumns();
}

void KorvexLayered::followColumns() {
    for (std::size_t cell = 0; cell < columns.size(); ++cell) {
        height_m[cell] = columns[cell].height_m();
        highest_m = std::max(highest_m, height_m[cell]);
        if (columns[cell].segments() > 0) {
            materialEnd_m =
                std::max(materialEnd_m, static_cast<double>(cell % width + 1) * *layered.cell_m);
        }
    }
}

bool KorvexLayered::reclaimingFinished() const { return !(reclaimedTo_m < materialEnd_m); }

KorvexLayered::Cut KorvexLayered::cutBetween(double from_m, double to_m) const {
    const double cell = *layered.cell_m;
    const double nearest = std::max(0.0, std::floor(from_m / cell));
    const double furthest = std::ceil((to_m + faceRun * highest_m) / cell);
    const auto first = static_cast<std::uint32_t>(std::min<double>(nearest, width));
    const auto end = static_cast<std::uint32_t>(std::clamp<double>(furthest, first, width));
    return {from_m, to_m, first, end, !(to_m < materialEnd_m)};
}

void KorvexLayered::cutColumn(LayeredColumn& column, std::uint32_t i, const Cut& cut, std::span<double> taken) const {
    if (cut.last) {
        // The face has passed the far end of the bed: whatever rounding left behind goes too.
        column.reclaimAll(stride, taken);
    } else if (cut.first <= i && i < cut.end) {
        column.reclaimBetween(stride, cut.from_m, cut.to_m, i * *layered.cell_m, *layered.cell_m, faceRun, taken);
    }
}

AveragedParameters KorvexLayered::reclaim(float position) {
    pollInterrupt();
    AveragedParameters result;
    const double to_m = position;
    if (!(to_m > reclaimedTo_m) || stride == 0) {
        return result;
    }
    std::vector<double> taken(stride, 0.0);
    const Cut cut = cutBetween(reclaimedTo_m, to_m);
    const std::uint32_t first = cut.last ? 0 : cut.first;
    const std::uint32_t end = cut.last ? width : cut.end;
    for (std::uint32_t j = 0; j < depth; ++j) {
        const std::size_t rowStart = std::size_t{j} * width;
        for (std::uint32_t i = first; i < end; ++i) {
            cutColumn(columns[rowStart + i], i, cut, taken);
        }
    }
    reclaimedTo_m = to_m;
    result.volume = taken[volumeEntry];
    result.sums.assign(taken.begin() + firstQualityEntry, taken.end());
    heldVolume_m3 = cut.last ? 0.0 : std::max(0.0, heldVolume_m3 - result.volume);
    return result;
}

std::vector<ReclaimedSlice> KorvexLayered::reclaimWhole(float increment) {
    checkReclaimReach(reclaimReach(), increment);
    // The slices' positions, and the cut of each that takes anything, as reclaimPile's calls of reclaim
    // would make them.
    std::vector<ReclaimedSlice> slices;
    std::vector<Cut> cuts;
    std::vector<std::size_t> sliceOfCut;
    double reached_m = reclaimedTo_m;
    float position = 0.0f;
    while (reached_m < materialEnd_m) {
        slices.push_back({position, {}});
        if (position > reached_m && stride != 0) {
            cuts.push_back(cutBetween(reached_m, position));
            sliceOfCut.push_back(slices.size() - 1);
            reached_m = position;
        }
        const float next = position + increment;
        checkReclaimPositionGrows(position, next);
        position = next;
    }
    if (cuts.empty()) {
        return slices;
    }
    // The loop ends with the cut that passes the far end of the material and takes everything; the others
    // take from the columns in their windows. Both ends of the windows only move forward, so the cuts that
    // reach column i along x are a run, from the first whose window ends beyond it to the first that starts
    // beyond it.
    const std::size_t windowed = cuts.size() - 1;
    std::vector<std::uint32_t> runBegin(width);
    std::vector<std::uint32_t> runEnd(width);
    std::size_t begin = 0;
    std::size_t end = 0;
    for (std::uint32_t i = 0; i < width; ++i) {
        while (begin < windowed && cuts[begin].end <= i) {
            ++begin;
        }
        while (end < windowed && cuts[end].first <= i) {
            ++end;
        }
        runBegin[i] = static_cast<std::uint32_t>(begin);
        runEnd[i] = static_cast<std::uint32_t>(std::max(begin, end));
    }
    // Each column is cut on a copy, slice after slice; the columns are visited in the order each slice's
    // call of reclaim visits them, so that every sum adds up in the same order, to the bit.
    std::vector<double> taken(cuts.size() * stride, 0.0);
    const auto takenBy = [&](std::size_t c) { return std::span<double>(taken).subspan(c * stride, stride); };
    LayeredColumn copy;
    for (std::size_t cell = 0; cell < columns.size(); ++cell) {
        pollInterrupt();
        const auto i = static_cast<std::uint32_t>(cell % width);
        copy = columns[cell];
        for (std::size_t c = runBegin[i]; c < runEnd[i]; ++c) {
            cutColumn(copy, i, cuts[c], takenBy(c));
        }
        cutColumn(copy, i, cuts.back(), takenBy(windowed));
    }
    // Every slice is known: from here on nothing is polled, and the bed becomes what the calls would have
    // left, every column taken whole.
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        const std::span<const double> slice = takenBy(c);
        AveragedParameters& material = slices[sliceOfCut[c]].material;
        material.volume = slice[volumeEntry];
        material.sums.assign(slice.begin() + firstQualityEntry, slice.end());
    }
    std::fill(taken.begin(), taken.begin() + static_cast<std::ptrdiff_t>(stride), 0.0);
    for (LayeredColumn& column : columns) {
        column.reclaimAll(stride, takenBy(0));
    }
    reclaimedTo_m = cuts.back().to_m;
    heldVolume_m3 = 0.0;
    return slices;
}

LayerTable KorvexLayered::layers() const {
    LayerTable table;
    table.qualities = stride > firstQualityEntry ? stride - firstQualityEntry : 0;
    // Tops worked out downwards from the column's height, as the reclaimer cuts them, then listed upwards.
    std::vector<double> tops;
    for (std::size_t cell = 0; cell < columns.size(); ++cell) {
        const LayeredColumn& column = columns[cell];
        const std::span<const double> thickness = column.thicknesses_m();
        tops.resize(thickness.size());
        double top = column.height_m();
        for (std::size_t k = thickness.size(); k-- > 0;) {
            tops[k] = top;
            top -= thickness[k];
        }
        const double x_m = (static_cast<double>(cell % width) + 0.5) * *layered.cell_m;
        const double z_m = (static_cast<double>(cell / width) + 0.5) * *layered.cell_m;
        for (std::size_t k = 0; k < thickness.size(); ++k) {
            const std::span<const double> material = column.material(k, stride);
            const double volume = material[volumeEntry];
            if (!(volume > AveragedParameters::zeroVolume)) {
                continue;
            }
            table.x_m.push_back(x_m);
            table.z_m.push_back(z_m);
            table.bottom_m.push_back(tops[k] - thickness[k]);
            table.top_m.push_back(tops[k]);
            table.volume_m3.push_back(volume);
            table.delivery.push_back(material[deliveryEntry] / volume);
            for (std::size_t q = 0; q < table.qualities; ++q) {
                table.values.push_back(material[firstQualityEntry + q] / volume);
            }
        }
    }
    return table;
}

std::span<const float> KorvexLayered::heights_m() {
    std::transform(height_m.begin(), height_m.end(), heapMap.begin(),
                   [](double height) { return static_cast<float>(height); });
    return heapMap;
}

}  // namespace korvex
