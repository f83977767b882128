#include "pile/ring_pile.h"

#include <cmath>
#include <stdexcept>

#include "pile/snapshot_parts.h"

namespace korvex {

namespace {

RingPileSettings ringSettingsFrom(SnapshotReader& in) {
    RingPileSettings settings;
    settings.configuration = readConfiguration(in);
    settings.ringRadius = in.f32();
    settings.seed = in.u64();
    settings.reclaimIncrement = in.f64();
    requireGrid(in);
    return settings;
}

}  // namespace

RingPile::RingPile(const RingPileSettings& settings)
    : seed_(settings.seed),
      random(settings.seed),
      ring(settings.configuration, settings.ringRadius, random),
      reclaimIncrement_(settings.reclaimIncrement.value_or(static_cast<double>(ring.cellSize))) {
    if (!(reclaimIncrement_ >= 0.01 * static_cast<double>(ring.cellSize) &&
          std::isfinite(reclaimIncrement_))) {
        throw std::invalid_argument("reclaim step of " + std::to_string(reclaimIncrement_) +
                                    " m must be finite and at least a hundredth of a cell");
    }
}

RingPile::RingPile(SnapshotReader& in) : RingPile(ringSettingsFrom(in)) {
    readNamesAndRandom(in, qualityNames_, random.engine);
    ring.load(in);
    in.finish();
}

void RingPile::save(SnapshotWriter& out) const {
    writeConfiguration(out, ring.configuration);
    out.f32(static_cast<float>(ring.ringRadius));
    out.u64(seed_);
    out.f64(reclaimIncrement_);
    writeSharedParts(out, ring.heapMapWidth, ring.heapMapDepth, qualityNames_, random.engine);
    ring.save(out);
}

std::vector<RingSlice> RingPile::run(const TableView& table, std::span<const std::string> columns,
                                     const ReclaimerSchedule& schedule) {
    std::vector<std::string> names = resolveChunkColumns(columns, table.columns).parameterNames;
    if (!qualityNames_.empty() && names != qualityNames_) {
        throw std::invalid_argument("the table's quality columns differ from those stacked before");
    }
    std::vector<RingSlice> slices =
        undoneIfCutShort([&] { return runRing(ring, table, columns, schedule, reclaimIncrement_); });
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(names);
    }
    return slices;
}

std::vector<RingSlice> RingPile::drain(double speed_m_per_s) {
    return undoneIfCutShort([&] { return drainRing(ring, reclaimIncrement_, speed_m_per_s); });
}

std::vector<RingSlice> RingPile::undoneIfCutShort(const std::function<std::vector<RingSlice>()>& call) {
    // The slices a call has cut reach the caller only when it returns: a call that ends with an exception
    // must not have taken anything off the ring, nor put anything on it.
    ContinuousRing::State before = ring.state();
    const SplitDrawSources randomBefore = random;
    try {
        return call();
    } catch (...) {
        ring.restore(std::move(before));
        random = randomBefore;
        throw;
    }
}

std::span<const float> RingPile::heights() {
    ring.updateHeapMap();
    return {ring.heapMap.get(), std::size_t{ring.heapMapWidth} * ring.heapMapDepth};
}

}  // namespace korvex
