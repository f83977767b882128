#include "pile/ring_pile.h"

#include <array>
#include <cmath>
#include <stdexcept>

namespace korvex {

namespace {

RingPileSettings ringSettingsFrom(SnapshotReader& in) {
    RingPileSettings settings;
    settings.configuration = readConfiguration(in);
    settings.ringRadius = in.f32();
    settings.seed = in.u64();
    settings.reclaimIncrement = in.f64();
    const std::uint64_t width = in.u32();
    const std::uint64_t depth = in.u32();
    in.require(width * depth * 4, "the grid of columns");
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
    qualityNames_.resize(in.count(8));
    for (std::string& name : qualityNames_) {
        name = in.text();
    }
    std::array<std::uint64_t, 4> words{};
    for (std::uint64_t& word : words) {
        word = in.u64();
    }
    if (!random.engine.restore(words)) {
        throw SnapshotError("snapshot is corrupt: its random generator's state is all zero");
    }
    ring.load(in);
    in.finish();
}

void RingPile::save(SnapshotWriter& out) const {
    writeConfiguration(out, ring.configuration);
    out.f32(static_cast<float>(ring.ringRadius));
    out.u64(seed_);
    out.f64(reclaimIncrement_);
    out.u32(ring.heapMapWidth);
    out.u32(ring.heapMapDepth);
    out.u64(qualityNames_.size());
    for (const std::string& name : qualityNames_) {
        out.text(name);
    }
    for (const std::uint64_t word : random.engine.words()) {
        out.u64(word);
    }
    ring.save(out);
}

std::vector<RingSlice> RingPile::run(const TableView& table, std::span<const std::string> columns,
                                     const ReclaimerSchedule& schedule) {
    std::vector<std::string> names = resolveChunkColumns(columns, table.columns).parameterNames;
    if (!qualityNames_.empty() && names != qualityNames_) {
        throw std::invalid_argument("the table's quality columns differ from those stacked before");
    }
    std::vector<RingSlice> slices = runRing(ring, table, columns, schedule, reclaimIncrement_);
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(names);
    }
    return slices;
}

std::vector<RingSlice> RingPile::drain(double speed_m_per_s) {
    return drainRing(ring, reclaimIncrement_, speed_m_per_s);
}

std::span<const float> RingPile::heights() {
    ring.updateHeapMap();
    return {ring.heapMap.get(), std::size_t{ring.heapMapWidth} * ring.heapMapDepth};
}

}  // namespace korvex
