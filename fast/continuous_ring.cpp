#include "fast/continuous_ring.h"

#include <algorithm>
#include <cmath>
#include <format>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

namespace korvex {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

RingGeometry ringGeometryOf(const KorvexConfiguration& configuration, float ringRadius) {
    RingPileSettings settings;
    settings.configuration = configuration;
    settings.ringRadius = ringRadius;
    return checkedGeometry(settings);
}

}  // namespace

ContinuousRing::ContinuousRing(const KorvexConfiguration& configuration, float ringRadius,
                               SplitDrawSources& random)
    : ContinuousRing(ringGeometryOf(configuration, ringRadius), random) {}

ContinuousRing::ContinuousRing(const RingGeometry& geometry, SplitDrawSources& random)
    : Korvex<AveragedParameters>(geometry.configuration),
      cellSize_(geometry.cellSize),
      cellCentreOffset(geometry.configuration.cellsFromOrigin ? 0.5 : 0.0),
      ringRadius_(geometry.ringRadius),
      reclaimSlope_(geometry.faceSlope),
      circleLength_(geometry.circleLength),
      random(random) {
    const KorvexConfiguration& configuration = geometry.configuration;
    const std::uint32_t width = geometry.columns;
    const std::uint32_t depth = geometry.rows;
    initializeHeapMap(width, depth);
    columnCounts_ = ColumnCounts(std::size_t{width} + 2, std::size_t{depth} + 2);
    stepOrders = stepOrdersOf(neighbourOffsetsOf(columnCounts_));
    const std::size_t cells = columnCounts_.columns() * columnCounts_.rows();
    columnAngle.resize(cells);
    columnRadius.resize(cells);
    cubes.resize(cells);
    // Angles are taken about the centre of the bed area from where each cell's centre lies, as a drop lands
    // in the cell whose centre is nearest.
    const double centreX = configuration.length * 0.5;
    const double centreZ = configuration.depth * 0.5;
    for (std::size_t c = 1; c <= width; ++c) {
        for (std::size_t r = 1; r <= depth; ++r) {
            const double px = (static_cast<double>(c - 1) + cellCentreOffset) * cellSize_ - centreX;
            const double pz = (static_cast<double>(r - 1) + cellCentreOffset) * cellSize_ - centreZ;
            const std::size_t index = columnCounts_.indexOf(c, r);
            columnAngle[index] = std::numbers::pi - std::atan2(pz, px);
            columnRadius[index] = std::hypot(px, pz);
        }
    }
    clear();
}

void ContinuousRing::clear() {
    clearBordered(columnCounts_);
    for (auto& column : cubes) {
        column.clear();
    }
    cubesOnRing = 0;
    clock_s = 0.0;
    reclaimer_m = 0.0;
    emptyRecordQueues();
}

ContinuousRing::State ContinuousRing::state() const {
    return {columnCounts_, cubes,       qualityCount,    qualityCountKnown, clock_s, reclaimer_m,
            cubesOnRing,  pendingMaterial, parameterCount, particlesDropped};
}

void ContinuousRing::restore(State&& saved) noexcept {
    columnCounts_ = std::move(saved.columnCounts);
    cubes = std::move(saved.cubes);
    qualityCount = saved.qualityCount;
    qualityCountKnown = saved.qualityCountKnown;
    clock_s = saved.clock_s;
    reclaimer_m = saved.reclaimer_m;
    cubesOnRing = saved.cubesOnRing;
    pendingMaterial = std::move(saved.pendingMaterial);
    parameterCount = saved.parameterCount;
    particlesDropped = saved.particlesDropped;
}

bool ContinuousRing::reclaimingFinished() { return cubesOnRing == 0; }

double ContinuousRing::volumeOnRing() const { return static_cast<double>(cubesOnRing) * particleVolume(); }

void ContinuousRing::dropParticle(float x, float z, const AveragedParameters& particle) {
    waitWhilePaused();
    if (qualityCountKnown && particle.sums.size() != qualityCount) {
        throw ParameterCountError();
    }
    const auto offset = static_cast<float>(cellCentreOffset);
    const std::size_t startColumn = nearestCell(x / cellSize_ - offset, heapMapWidth) + 1;
    const std::size_t startRow = nearestCell(z / cellSize_ - offset, heapMapDepth) + 1;
    std::int32_t* const counts = columnCounts_.data();
    const DescentEnd end =
        descend(counts, stepOrders, static_cast<std::ptrdiff_t>(columnCounts_.indexOf(startColumn, startRow)),
                configuration.eightNeighbourProbability, random);
    if (end.height == borderCount) {
        throw std::overflow_error("a column of 2147483647 cubes cannot take another particle");
    }
    // What can run out of memory comes before the cube is placed, so that counts and cubes keep agreeing.
    std::vector<double>& column = cubes[static_cast<std::size_t>(end.cell)];
    column.reserve(column.size() + 1 + particle.sums.size());
    if (particleLog) {
        const std::size_t c = static_cast<std::size_t>(end.cell) / columnCounts_.rows();
        const std::size_t r = static_cast<std::size_t>(end.cell) % columnCounts_.rows();
        particleLog->append(particlesDropped, (static_cast<float>(c - 1) + offset) * cellSize_,
                            (static_cast<float>(end.height) + 0.5f) * cellSize_,
                            (static_cast<float>(r - 1) + offset) * cellSize_, particle);
    }
    counts[end.cell] = end.height + 1;
    ++cubesOnRing;
    qualityCount = particle.sums.size();
    qualityCountKnown = true;
    column.push_back(clock_s);
    const bool divide = particle.volume > AveragedParameters::zeroVolume;
    for (const double sum : particle.sums) {
        column.push_back(divide ? sum / particle.volume : sum);
    }
}

double ContinuousRing::bytesPerHeldParticle(std::size_t qualities) const {
    // The time stamp and the values, in columns that grow by doubling.
    return 2.0 * static_cast<double>((1 + qualities) * sizeof(double));
}

void ContinuousRing::save(SnapshotWriter& out) const {
    saveCommonState(out);
    out.f64(clock_s);
    out.f64(reclaimer_m);
    out.flag(qualityCountKnown);
    out.u64(qualityCount);
    saveInnerCounts(out, columnCounts_, heapMapWidth, heapMapDepth);
    for (std::size_t c = 1; c <= heapMapWidth; ++c) {
        for (std::size_t r = 1; r <= heapMapDepth; ++r) {
            out.rawDoubles(cubes[columnCounts_.indexOf(c, r)]);
        }
    }
}

void ContinuousRing::load(SnapshotReader& in) {
    clear();
    loadCommonState(in);
    clock_s = in.f64();
    reclaimer_m = in.f64();
    qualityCountKnown = in.flag();
    const std::uint64_t count = in.u64();
    if (count > in.remaining() / 8) {
        throw SnapshotError("snapshot is corrupt: the ring's quality count is beyond its contents");
    }
    qualityCount = static_cast<std::size_t>(count);
    const std::uint64_t total = loadInnerCounts(in, columnCounts_, heapMapWidth, heapMapDepth);
    const std::size_t stride = qualityCount + 1;
    if (total > in.remaining() / 8 / stride) {
        throw SnapshotError("snapshot is corrupt: its columns hold more cubes than its contents");
    }
    for (std::size_t c = 1; c <= heapMapWidth; ++c) {
        for (std::size_t r = 1; r <= heapMapDepth; ++r) {
            const std::size_t index = columnCounts_.indexOf(c, r);
            cubes[index].resize(static_cast<std::size_t>(columnCounts_.data()[index]) * stride);
            in.rawDoubles(cubes[index]);
        }
    }
    cubesOnRing = static_cast<std::int64_t>(total);
    updateHeapMap();
}

void ContinuousRing::takeFrom(std::size_t index, std::int32_t keep, RingCut& cut) {
    std::int32_t& count = columnCounts_.data()[index];
    if (keep >= count) {
        return;
    }
    const double volume = particleVolume();
    const std::size_t stride = qualityCount + 1;
    std::vector<double>& column = cubes[index];
    if (cut.material.sums.empty()) {
        cut.material.sums.assign(qualityCount, 0.0);
    }
    for (std::size_t cube = static_cast<std::size_t>(keep); cube < static_cast<std::size_t>(count); ++cube) {
        const double* record = column.data() + cube * stride;
        cut.residenceVolumeSeconds += volume * (clock_s - record[0]);
        for (std::size_t k = 0; k < qualityCount; ++k) {
            cut.material.sums[k] += volume * record[k + 1];
        }
    }
    cut.material.volume += volume * static_cast<double>(count - keep);
    cubesOnRing -= count - keep;
    column.resize(static_cast<std::size_t>(keep) * stride);
    count = keep;
}

RingCut ContinuousRing::cut(double position_m) {
    RingCut result;
    if (!(position_m > reclaimer_m)) {
        return result;
    }
    const double from = reclaimer_m / ringRadius_;
    const double to = position_m / ringRadius_;
    const bool vertical = std::isinf(reclaimSlope_);
    for (std::size_t c = 1; c <= heapMapWidth; ++c) {
        // A cut walks every column: on a large ring a run of many cuts must still notice an interrupt soon.
        pollInterrupt();
        for (std::size_t r = 1; r <= heapMapDepth; ++r) {
            const std::size_t index = columnCounts_.indexOf(c, r);
            const std::int32_t count = columnCounts_.data()[index];
            if (count == 0) {
                continue;
            }
            // The first time after `from` that the face's foot stands at this column's angle.
            const double angle = columnAngle[index];
            const double pass = angle + twoPi * (std::floor((from - angle) / twoPi) + 1.0);
            if (pass <= to) {
                takeFrom(index, 0, result);
                continue;
            }
            if (vertical) {
                continue;
            }
            // The face rises from its foot into the pile: at this radius it stands that many cubes high
            // over the column and takes every cube whose centre lies above it.
            const double faceHeight = (pass - to) * columnRadius[index] * reclaimSlope_ / cellSize_;
            const double keep = std::ceil(faceHeight - 0.5);
            if (keep < static_cast<double>(count)) {
                takeFrom(index, static_cast<std::int32_t>(std::max(keep, 0.0)), result);
            }
        }
    }
    reclaimer_m = position_m;
    return result;
}

AveragedParameters ContinuousRing::reclaim(float position) {
    return cut(static_cast<double>(position)).material;
}

void ContinuousRing::updateHeapMap() {
    for (std::uint32_t j = 0; j < heapMapDepth; ++j) {
        for (std::uint32_t i = 0; i < heapMapWidth; ++i) {
            heightCell(i, j) =
                static_cast<float>(columnCounts_[std::size_t{i} + 1][std::size_t{j} + 1]) * cellSize_;
        }
    }
}

void validateSchedule(const ReclaimerSchedule& schedule) {
    const std::size_t points = schedule.time_s.size();
    if (points == 0 || points != schedule.position_m.size()) {
        throw std::invalid_argument(
            "the reclaimer schedule needs at least one point and as many positions (" +
            std::to_string(schedule.position_m.size()) + ") as times (" + std::to_string(points) + ")");
    }
    for (std::size_t k = 0; k < points; ++k) {
        if (!std::isfinite(schedule.time_s[k]) || !std::isfinite(schedule.position_m[k])) {
            throw std::invalid_argument("reclaimer schedule point " + std::to_string(k) + " is not finite");
        }
        if (k > 0 && (schedule.time_s[k] < schedule.time_s[k - 1] ||
                      schedule.position_m[k] < schedule.position_m[k - 1])) {
            throw std::invalid_argument("reclaimer schedule point " + std::to_string(k) +
                                        " goes back in time or along the ring");
        }
    }
}

namespace {

/// Walks a schedule forward: the times at which the reclaimer reaches growing positions.
class ScheduleWalk {
public:
    explicit ScheduleWalk(const ReclaimerSchedule& schedule) : schedule(schedule) {}

    /// When the reclaimer reaches `position_m`, at most the schedule's last position; positions must
    /// not decrease from call to call.
    double timeAt(double position_m) {
        const auto& p = schedule.position_m;
        const auto& t = schedule.time_s;
        while (segment + 1 < p.size() && p[segment + 1] < position_m) {
            ++segment;
        }
        if (segment + 1 == p.size()) {
            return t.back();
        }
        const double span = p[segment + 1] - p[segment];
        const double share = span > 0.0 ? (position_m - p[segment]) / span : 0.0;
        return t[segment] + std::clamp(share, 0.0, 1.0) * (t[segment + 1] - t[segment]);
    }

private:
    const ReclaimerSchedule& schedule;
    std::size_t segment = 0;
};

}  // namespace

std::vector<RingSlice> runRing(ContinuousRing& ring, const TableView& table,
                               std::span<const std::string> names, const ReclaimerSchedule& schedule,
                               double step_m) {
    validateSchedule(schedule);
    if (auto problem = reclaimStepProblem(step_m, ring.circleLength())) {
        throw SettingsError({std::move(*problem)});
    }
    const ChunkColumns columns = resolveChunkColumns(names, table.columns);
    const auto timestamp = std::find(names.begin(), names.end(), "timestamp");
    if (timestamp == names.end()) {
        throw std::invalid_argument("the table has no \"timestamp\" column: a ring stacks in time");
    }
    const auto timeColumn = static_cast<std::size_t>(timestamp - names.begin());
    validateChunks(table, columns);
    for (std::size_t row = 0; row < table.rows; ++row) {
        const double time = table.at(row, timeColumn);
        if (!std::isfinite(time) || (row > 0 && time < table.at(row - 1, timeColumn))) {
            throw std::invalid_argument(
                "row " + std::to_string(row) +
                ": time stamps must be finite and not decreasing; nothing was stacked");
        }
    }

    const double start = schedule.position_m.front();
    const double last = schedule.position_m.back();
    const double slicesAlong = std::max(0.0, std::ceil((last - start) / step_m - 1e-9));
    if (!(slicesAlong <= maxSlicesPerRun)) {
        throw std::invalid_argument(std::format(
            "the reclaimer schedule runs {:g} m from {:g} m to {:g} m: {:g} slices of {:g} m, more "
            "than the {:g} a run may cut; nothing was stacked",
            last - start, start, last, slicesAlong, step_m, maxSlicesPerRun));
    }
    const auto sliceCount = static_cast<std::size_t>(slicesAlong);
    ScheduleWalk walk(schedule);
    std::vector<RingSlice> slices;
    slices.reserve(sliceCount);
    // A schedule that starts ahead of the reclaimer moves it there first, past whatever lies on the way:
    // that comes out as a slice of its own when the schedule begins.
    if (ring.reclaimerPosition() < start) {
        ring.setClock(std::max(ring.clock(), schedule.time_s.front()));
        RingCut onTheWay = ring.cut(start);
        if (onTheWay.material.volume > 0.0) {
            slices.push_back({ring.clock(), start, std::move(onTheWay)});
        }
    }
    std::size_t next = 0;
    double sliceStart = walk.timeAt(start);
    const auto cutUntil = [&](double time) {
        while (next < sliceCount) {
            const double position = std::min(start + static_cast<double>(next + 1) * step_m, last);
            const double reached = walk.timeAt(position);
            if (reached > time) {
                return;
            }
            ring.pollInterrupt();
            // The foot meets the slice's material all the way through it: on average half-way.
            ring.setClock(0.5 * (sliceStart + reached));
            slices.push_back({reached, position, ring.cut(position)});
            sliceStart = reached;
            ++next;
        }
    };

    AveragedParameters chunk(0.0, std::vector<double>(columns.parameters.size()));
    for (std::size_t row = 0; row < table.rows; ++row) {
        const double time = table.at(row, timeColumn);
        cutUntil(time);
        ring.setClock(time);
        chunk.volume = table.at(row, columns.volume);
        for (std::size_t k = 0; k < chunk.sums.size(); ++k) {
            chunk.sums[k] = chunk.volume * table.at(row, columns.parameters[k]) + 0.0;
        }
        ring.stack(static_cast<float>(table.at(row, columns.x)), static_cast<float>(table.at(row, columns.z)),
                   chunk);
    }
    cutUntil(std::numeric_limits<double>::infinity());
    // What follows, a drain or the next table, starts when this run ended.
    if (!slices.empty()) {
        ring.setClock(std::max(ring.clock(), slices.back().time_s));
    }
    return slices;
}

std::vector<RingSlice> drainRing(ContinuousRing& ring, double step_m, double speed_m_per_s) {
    if (auto problem = reclaimStepProblem(step_m, ring.circleLength())) {
        throw SettingsError({std::move(*problem)});
    }
    if (!(speed_m_per_s > 0.0 && std::isfinite(speed_m_per_s))) {
        throw std::invalid_argument("reclaimer speed of " + std::to_string(speed_m_per_s) +
                                    " m/s must be positive and finite");
    }
    std::vector<RingSlice> slices;
    const double end = ring.reclaimerPosition() + ring.circleLength();
    double time = ring.clock();
    while (!ring.reclaimingFinished() && ring.reclaimerPosition() < end) {
        ring.pollInterrupt();
        const double position = std::min(ring.reclaimerPosition() + step_m, end);
        const double span_s = (position - ring.reclaimerPosition()) / speed_m_per_s;
        const double reached = time + span_s;
        ring.setClock(time + 0.5 * span_s);
        slices.push_back({reached, position, ring.cut(position)});
        time = reached;
    }
    AveragedParameters remainder = ring.takePendingMaterial();
    if (remainder.volume > AveragedParameters::zeroVolume) {
        if (slices.empty()) {
            slices.push_back({time, ring.reclaimerPosition(), RingCut{}});
        }
        slices.back().cut.material.add(remainder);
    }
    return slices;
}

}  // namespace korvex
