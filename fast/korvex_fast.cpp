#include "fast/korvex_fast.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <variant>

#include "fast/descent.h"

namespace korvex {

namespace {

/// `cells` truncated to a slice index, at most `count`.
std::size_t sliceBoundary(double cells, std::size_t count) {
    if (cells >= static_cast<double>(count)) {
        return count;
    }
    return cells > 0.0 ? static_cast<std::size_t>(cells) : 0;
}

}  // namespace

namespace {

PileGeometry fastGeometryOf(const KorvexConfiguration& configuration) {
    PileSettings settings;
    settings.configuration = configuration;
    settings.engine = Engine::fast;
    return checkedGeometry(settings);
}

}  // namespace

template <class Material>
KorvexFast<Material>::KorvexFast(const PileGeometry& geometry, FastRandomSources& random)
    : KorvexFast(geometry, RandomSource{&random}) {}

template <class Material>
KorvexFast<Material>::KorvexFast(const PileGeometry& geometry, SplitDrawSources& random)
    : KorvexFast(geometry, RandomSource{&random}) {}

template <class Material>
KorvexFast<Material>::KorvexFast(const KorvexConfiguration& configuration, FastRandomSources& random)
    : KorvexFast(fastGeometryOf(configuration), RandomSource{&random}) {}

template <class Material>
KorvexFast<Material>::KorvexFast(const KorvexConfiguration& configuration, SplitDrawSources& random)
    : KorvexFast(fastGeometryOf(configuration), RandomSource{&random}) {}

template <class Material>
KorvexFast<Material>::KorvexFast(const PileGeometry& geometry, RandomSource random)
    : Korvex<Material>(geometry.configuration),
      cellSize_(geometry.cellSize),
      cellCentreOffset(geometry.configuration.cellsFromOrigin ? 0.5f : 0.0f),
      reclaimSlope_(static_cast<float>(geometry.faceSlope)),
      circleLength_(geometry.circleLength),
      random(random) {
    if (geometry.engine != Engine::fast) {
        throw std::invalid_argument("a fast-engine pile needs the geometry of the fast engine's cells");
    }
    this->initializeHeapMap(geometry.columns, geometry.rows);
    columnCounts_ = ColumnCounts(std::size_t{geometry.columns} + 2, std::size_t{geometry.rows} + 2);
    slices_.resize(geometry.sliceCount);
    stepOrders = stepOrdersOf(neighbourOffsetsOf(columnCounts_));
    clear();
}

template <class Material>
KorvexFast<Material>::~KorvexFast() {
    releaseRecords();
}

template <class Material>
void KorvexFast<Material>::clear() {
    clearBordered(columnCounts_);
    placedCubes_ = 0;
    for (Material& slice : slices_) {
        slice.reset();
    }
    releaseRecords();
}

template <class Material>
double KorvexFast<Material>::capacity() const {
    // A column can only be full once the whole pile holds as many cubes as one column can.
    constexpr double mostCubes = static_cast<double>(std::numeric_limits<std::int32_t>::max() - 2);
    return std::min(Korvex<Material>::capacity(), mostCubes * this->particleVolume());
}

template <class Material>
double KorvexFast<Material>::heldVolume() const {
    return static_cast<double>(placedCubes_) * this->particleVolume();
}

template <class Material>
void KorvexFast<Material>::finishStacking() {}

template <class Material>
void KorvexFast<Material>::dropParticle(float x, float z, const Material& particle) {
    this->waitWhilePaused();
    const std::size_t startColumn = nearestCell(x / cellSize_ - cellCentreOffset, this->heapMapWidth) + 1;
    const std::size_t startRow = nearestCell(z / cellSize_ - cellCentreOffset, this->heapMapDepth) + 1;

    std::unique_ptr<Record> record;
    if (this->configuration.visualize) {
        record = std::make_unique<Record>();
        record->material = particle;
        const double edge = static_cast<double>(cellSize_) * 0.95;
        record->dimensions = {edge, edge, edge};
        record->orientation = {0.0, 0.0, 1.0, 0.0};
    }

    // Heights stay integer cube counts during the walk; metres are only needed once the cube is placed.
    std::int32_t* const counts = columnCounts_.data();
    const auto start = static_cast<std::ptrdiff_t>(columnCounts_.indexOf(startColumn, startRow));
    const double eightNeighbourProbability = this->configuration.eightNeighbourProbability;
    const DescentEnd end = std::visit(
        [&](auto* sources) {
            return descend(counts, stepOrders, start, eightNeighbourProbability, *sources);
        },
        random);
    const std::ptrdiff_t cell = end.cell;
    const std::int32_t height = end.height;
    if (height == borderCount) {
        throw std::overflow_error("a column of 2147483647 cubes cannot take another particle");
    }

    const float cubesBelow = static_cast<float>(height);
    const std::size_t c = static_cast<std::size_t>(cell) / columnCounts_.rows();
    const std::size_t r = static_cast<std::size_t>(cell) % columnCounts_.rows();
    // What can run out of memory comes before the cube is placed, so that heights and slices keep agreeing.
    Material& slice = slices_[sliceOf(c, r, cubesBelow)];
    if (slice.sums.empty()) {
        slice.sums.reserve(particle.sums.size());
    }
    if (this->particleLog) {
        // Cell c - 1 of the heap map, centred where the heap map's cell is.
        this->particleLog->append(this->particlesDropped,
                                  (static_cast<float>(c - 1) + cellCentreOffset) * cellSize_,
                                  (cubesBelow + 0.5f) * cellSize_,
                                  (static_cast<float>(r - 1) + cellCentreOffset) * cellSize_, particle);
    }
    if (record) {
        std::lock_guard lock(this->particlesMutex);
        record->position = {static_cast<double>((static_cast<float>(c) - 0.5f) * cellSize_),
                            static_cast<double>((cubesBelow + 0.5f) * cellSize_),
                            static_cast<double>((static_cast<float>(r) - 0.5f) * cellSize_)};
        record->settled = true;
        records.push_back(std::move(record));
        this->settledRecords.push_back(records.back().get());
    }
    counts[cell] = height + 1;
    ++placedCubes_;
    slice.add(particle);
    // The slices before the reclaim position may hold material again.
    lastReclaimPosition_ = 0.0f;
}

template <class Material>
std::size_t KorvexFast<Material>::sliceOf(std::size_t c, std::size_t r, float cubesBelow) const {
    return this->configuration.circular ? circularSliceOf(c, r, cubesBelow) : straightSliceOf(c, cubesBelow);
}

template <class Material>
std::size_t KorvexFast<Material>::straightSliceOf(std::size_t c, float cubesBelow) const {
    const std::size_t column = c - 1;
    const std::size_t last = slices_.size() - 1;
    std::size_t k = 0;
    if (reclaimSlope_ > 1e10f) {
        k = column;
    } else if (static_cast<double>(reclaimSlope_) < 1e-10) {
        k = this->configuration.reclaimAngle < 90.0f ? 0 : last;
    } else if (this->configuration.cellsFromOrigin) {
        // The inclined face reaches the cube's centre that far before its foot reaches the centre's column.
        const double ahead = (static_cast<double>(cubesBelow) + 0.5) / static_cast<double>(reclaimSlope_);
        const double centre = static_cast<double>(column) + 0.5;
        k = centre > ahead ? static_cast<std::size_t>(std::min(centre - ahead, static_cast<double>(last)))
                           : 0;
    } else {
        // The inclined face reaches a cube that many columns after its foot has passed the cube's column.
        const float behind = cubesBelow / reclaimSlope_ + 0.5f;
        k = static_cast<double>(behind) >= static_cast<double>(column) + 1.0
                ? 0
                : column - static_cast<std::size_t>(behind);
    }
    return std::min(k, last);
}

template <class Material>
std::size_t KorvexFast<Material>::circularSliceOf(std::size_t c, std::size_t r, float cubesBelow) const {
    // Column c is heap-map cell c - 1. Angles are taken about the centre of the bed area, so that the
    // reclaim face is radial, from where the cell's centre lies.
    const double centreOffset = this->configuration.cellsFromOrigin ? 0.5 : 0.0;
    const double px =
        (static_cast<double>(c - 1) + centreOffset) * cellSize_ - this->configuration.length * 0.5;
    const double pz =
        (static_cast<double>(r - 1) + centreOffset) * cellSize_ - this->configuration.depth * 0.5;
    const double angle = std::atan2(pz, px);
    double position = (1.0 - angle / 3.1415927410125732) * 0.5 * circleLength_;
    if (!(static_cast<double>(reclaimSlope_) > 1e10) && !(static_cast<double>(reclaimSlope_) < 1e-10)) {
        position -= static_cast<double>(cellSize_ * cubesBelow / reclaimSlope_);
    }
    // The remainder is taken in floating point, where it is exact, so that no position is too far from the
    // start for the conversion; positions before the start wrap around to the end of the circle.
    const auto count = static_cast<std::int64_t>(slices_.size());
    // Slice k takes the positions from k to k + 1 cells when cells span from the origin, else those nearest
    // k.
    const double cells = this->configuration.cellsFromOrigin ? std::floor(position / cellSize_)
                                                             : std::trunc(position / cellSize_ + 0.5);
    const auto offset = static_cast<std::int64_t>(std::fmod(cells, static_cast<double>(count)));
    return static_cast<std::size_t>((count + offset) % count);
}

template <class Material>
bool KorvexFast<Material>::reclaimingFinished() {
    const double reached = static_cast<double>(lastReclaimPosition_ / cellSize_) + 0.5;
    return !(reached < static_cast<double>(slices_.size()));
}

template <class Material>
Material KorvexFast<Material>::reclaim(float position) {
    // The reclaimer never moves back: going back would make the partial slice's amount negative and the
    // slice grow, and would misplace the fraction of it that is left.
    const float reached = position > lastReclaimPosition_ ? position : lastReclaimPosition_;
    const double from = static_cast<double>(lastReclaimPosition_ / cellSize_);
    const double to = static_cast<double>(reached / cellSize_);
    const std::size_t count = slices_.size();
    const std::size_t first = sliceBoundary(from, count);
    const std::size_t end = sliceBoundary(to, count);

    Material result;
    for (std::size_t k = first; k < end; ++k) {
        result.add(slices_[k]);
        slices_[k].reset();
    }
    if (end < count) {
        Material& slice = slices_[end];
        const auto e = static_cast<double>(end);
        double amount = 0.0;
        if (first == end) {
            // The previous call stopped inside this slice and left this fraction of it.
            const double left = 1.0 - (from - e);
            if (left > 1e-20) {
                amount = std::min(slice.volume, slice.volume / left * (to - from));
            } else {
                slice.reset();
            }
        } else {
            amount = (to - e) * slice.volume;
        }
        result.add(slice.pop(amount));
    }
    lastReclaimPosition_ = reached;
    // Reclaiming counts as finished half a cell before the end, and nothing is
    // asked of the reclaimer after that: the call that gets there also takes
    // what the last slice still holds, so that no material is lost.
    if (reclaimingFinished()) {
        for (std::size_t k = std::min(end, count); k < count; ++k) {
            result.add(slices_[k]);
            slices_[k].reset();
        }
    }
    return result;
}

template <class Material>
void KorvexFast<Material>::updateHeapMap() {
    for (std::uint32_t j = 0; j < this->heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < this->heapMapWidth; ++i) {
            const std::int32_t cubes = columnCounts_[std::size_t{i} + 1][std::size_t{j} + 1];
            this->heightCell(i, j) = cubes > 0 ? static_cast<float>(cubes) * cellSize_ : 0.0f;
        }
    }
}

template <class Material>
void KorvexFast<Material>::save(SnapshotWriter& out) const {
    this->saveCommonState(out);
    out.f32(lastReclaimPosition_);
    out.u64(placedCubes_);
    saveInnerCounts(out, columnCounts_, this->heapMapWidth, this->heapMapDepth);
    out.u64(slices_.size());
    for (const Material& slice : slices_) {
        out.material(slice);
    }
    out.u64(records.size());
    for (const auto& record : records) {
        out.material(record->material);
        out.flag(record->settled);
        out.rawDoubles(record->position);
        out.rawDoubles(record->dimensions);
        out.rawDoubles(record->orientation);
    }
}

template <class Material>
void KorvexFast<Material>::forgetMaterial() {
    for (Material& slice : slices_) {
        slice.reset();
    }
    releaseRecords();
    this->forgetCommonMaterial();
}

template <class Material>
void KorvexFast<Material>::load(SnapshotReader& in) {
    clear();
    this->loadCommonState(in);
    lastReclaimPosition_ = in.f32();
    placedCubes_ = in.u64();
    if (loadInnerCounts(in, columnCounts_, this->heapMapWidth, this->heapMapDepth) != placedCubes_) {
        throw SnapshotError("snapshot is corrupt: the columns do not hold the cubes it says were placed");
    }
    if (in.u64() != slices_.size()) {
        throw SnapshotError("snapshot is corrupt: its slices_ do not match the pile's");
    }
    for (Material& slice : slices_) {
        slice = in.material();
        if (!this->soundMaterial(slice)) {
            throw SnapshotError("snapshot is corrupt: a slice holds material that no stacking leaves");
        }
    }
    // Each record holds at least a volume, a count, a flag and ten coordinates.
    const std::size_t count = in.count(8 + 8 + 1 + 80);
    std::lock_guard lock(this->particlesMutex);
    for (std::size_t k = 0; k < count; ++k) {
        auto record = std::make_unique<Record>();
        record->material = in.material();
        if (!this->soundMaterial(record->material)) {
            throw SnapshotError("snapshot is corrupt: a particle holds material that no stacking leaves");
        }
        record->settled = in.flag();
        in.rawDoubles(record->position);
        in.rawDoubles(record->dimensions);
        in.rawDoubles(record->orientation);
        records.push_back(std::move(record));
        this->settledRecords.push_back(records.back().get());
    }
    updateHeapMap();
}

template <class Material>
void KorvexFast<Material>::releaseRecords() {
    std::lock_guard lock(this->particlesMutex);
    this->movingRecords.clear();
    this->settledRecords.clear();
    records.clear();
}

template class KorvexFast<AveragedParameters>;

}  // namespace korvex
