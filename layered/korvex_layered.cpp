#include "layered/korvex_layered.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

namespace korvex {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

PileGeometry layeredGeometryOf(const KorvexConfiguration& configuration, const LayeredSettings& settings) {
    PileSettings pile;
    pile.configuration = configuration;
    pile.engine = Engine::layered;
    pile.layered = settings;
    return checkedGeometry(pile);
}

/// The base cuts stacked material into particles of 1 / particlesPerCubicMeter; the layered engine lays
/// every chunk whole, so it gives the base a particle larger than any bed and takes the chunk back itself.
KorvexConfiguration wholeChunks(KorvexConfiguration configuration) {
    configuration.particlesPerCubicMeter = std::numeric_limits<float>::min();
    return configuration;
}

}  // namespace

KorvexLayered::KorvexLayered(const KorvexConfiguration& configuration, const LayeredSettings& settings)
    : KorvexLayered(layeredGeometryOf(configuration, settings), settings) {}

KorvexLayered::KorvexLayered(const PileGeometry& geometry, const LayeredSettings& settings)
    : Korvex(wholeChunks(geometry.configuration)),
      layered(resolvedLayeredSettings(settings, geometry.configuration)),
      reposeSlope(std::tan(settings.reposeAngle_deg * std::numbers::pi / 180.0)),
      faceRun(geometry.verticalFace ? 0.0 : 1.0 / geometry.faceSlope) {
    initializeHeapMap(geometry.columns, geometry.rows);
    clear();
}

void KorvexLayered::clear() {
    const std::size_t cells = std::size_t{heapMapWidth} * heapMapDepth;
    height_m.assign(cells, 0.0);
    columns.assign(cells, LayeredColumn{});
    deliveries = 0;
    reclaimedTo_m = -infinity;
    materialEnd_m = -infinity;
    heldVolume_m3 = 0.0;
    highest_m = 0.0;
}

void KorvexLayered::stack(float x, float z, const AveragedParameters& material) {
    Korvex::stack(x, z, material);
    const AveragedParameters delivery = takePendingMaterial();
    if (delivery.volume > AveragedParameters::zeroVolume) {
        deliver(x, z, delivery);
    }
}

void KorvexLayered::dropParticle(float x, float z, const AveragedParameters& particle) { deliver(x, z, particle); }

void KorvexLayered::rewindReclaimer() {
    reclaimedTo_m = -infinity;
    for (LayeredColumn& column : columns) {
        column.rewind();
    }
}

void KorvexLayered::deliver(double x_m, double z_m, const AveragedParameters& material) {
    pollInterrupt();
    if (reclaimedTo_m > -infinity) {
        rewindReclaimer();
    }
    stride = firstQualityEntry + material.sums.size();
    const auto& layers = fill.fill(height_m, heapMapWidth, heapMapDepth, *layered.cell_m, reposeSlope,
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
    ++deliveries;
}

void KorvexLayered::layOnCell(std::size_t cell, double thickness_m, std::span<const double> material) {
    columns[cell].layOn(stride, thickness_m, material, layered.segmentsPerColumn);
    height_m[cell] = columns[cell].height_m();
    highest_m = std::max(highest_m, height_m[cell]);
    materialEnd_m = std::max(materialEnd_m, static_cast<double>(cell % heapMapWidth + 1) * *layered.cell_m);
}

void KorvexLayered::forgetMaterial() {
    for (LayeredColumn& column : columns) {
        column.forgetMaterial();
    }
    stride = 0;
    heldVolume_m3 = 0.0;
    reclaimedTo_m = -infinity;
    materialEnd_m = -infinity;
    forgetCommonMaterial();
}

void KorvexLayered::save(SnapshotWriter& out) const {
    saveCommonState(out);
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
    loadCommonState(in);
    stride = static_cast<std::size_t>(in.u64());
    const std::optional<std::size_t>& qualities = fixedParameterCount();
    // A stride no stacking leaves would make the columns' rows unreadable; one beyond the bytes left would
    // make their sizes overflow.
    if (stride > in.remaining() / 8 ||
        (stride != 0 && !(qualities && stride == firstQualityEntry + *qualities))) {
        throw SnapshotError(
            "snapshot is corrupt: its segments' material does not match the quality values stacked");
    }
    deliveries = in.u64();
    reclaimedTo_m = in.f64();
    heldVolume_m3 = in.f64();
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
                std::max(materialEnd_m, static_cast<double>(cell % heapMapWidth + 1) * *layered.cell_m);
        }
    }
    updateHeapMap();
}

bool KorvexLayered::reclaimingFinished() { return !(reclaimedTo_m < materialEnd_m); }

AveragedParameters KorvexLayered::reclaim(float position) {
    AveragedParameters result;
    const double to_m = position;
    if (!(to_m > reclaimedTo_m) || stride == 0) {
        return result;
    }
    std::vector<double> taken(stride, 0.0);
    const double cell = *layered.cell_m;
    // Only columns whose near edge the face's top has passed, and whose far edge its foot has not, can
    // give anything between the two faces.
    const double nearest = std::max(0.0, std::floor(reclaimedTo_m / cell));
    const double furthest = std::ceil((to_m + faceRun * highest_m) / cell);
    const auto first = static_cast<std::uint32_t>(std::min<double>(nearest, heapMapWidth));
    const auto end = static_cast<std::uint32_t>(std::clamp<double>(furthest, first, heapMapWidth));
    const bool last = !(to_m < materialEnd_m);
    for (std::uint32_t j = 0; j < heapMapDepth; ++j) {
        pollInterrupt();
        const std::size_t rowStart = std::size_t{j} * heapMapWidth;
        if (last) {
            // The face has passed the far end of the bed: whatever rounding left behind goes too.
            for (std::uint32_t i = 0; i < heapMapWidth; ++i) {
                columns[rowStart + i].reclaimAll(stride, taken);
            }
            continue;
        }
        for (std::uint32_t i = first; i < end; ++i) {
            columns[rowStart + i].reclaimBetween(stride, reclaimedTo_m, to_m, i * cell, cell, faceRun, taken);
        }
    }
    reclaimedTo_m = to_m;
    result.volume = taken[volumeEntry];
    result.sums.assign(taken.begin() + firstQualityEntry, taken.end());
    heldVolume_m3 = last ? 0.0 : std::max(0.0, heldVolume_m3 - result.volume);
    return result;
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
        const double x_m = (static_cast<double>(cell % heapMapWidth) + 0.5) * *layered.cell_m;
        const double z_m = (static_cast<double>(cell / heapMapWidth) + 0.5) * *layered.cell_m;
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

void KorvexLayered::updateHeapMap() {
    std::transform(height_m.begin(), height_m.end(), heapMap.get(),
                   [](double height) { return static_cast<float>(height); });
}

}  // namespace korvex
