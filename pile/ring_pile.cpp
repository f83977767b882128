#include "pile/ring_pile.h"

#include <stdexcept>
#include <utility>

#include "fast/continuous_ring.h"
#include "fast/random_sources.h"

#include "pile/snapshot_parts.h"

namespace korvex {

namespace {

RingPileSettings ringSettingsFrom(SnapshotReader& in) {
    RingPileSettings settings;
    settings.configuration = readConfiguration(in);
    settings.ringRadius = in.f32();
    settings.seed = in.u64();
    settings.reclaimIncrement = in.f64();
    const RingGeometry geometry = snapshotGeometry(settings);
    // Every cell's cube count.
    requireGrid(in, geometry.columns, geometry.rows, 4);
    return settings;
}

}  // namespace

RingPile::RingPile(const RingPileSettings& settings)
    : seed_(settings.seed),
      geometry_(checkedGeometry(settings)),
      random(std::make_unique<SplitDrawSources>(settings.seed)),
      ring(std::make_unique<ContinuousRing>(geometry_, *random)) {}

RingPile::~RingPile() = default;

void RingPile::setInterruptCheck(std::function<void()> check) { ring->setInterruptCheck(std::move(check)); }

double RingPile::volumeOnRing() const { return ring->volumeOnRing(); }

double RingPile::reclaimerPosition() const { return ring->reclaimerPosition(); }

RingPile::RingPile(SnapshotReader& in) : RingPile(ringSettingsFrom(in)) {
    qualityNames_ = readNames(in);
    readRandom(in, random->engine);
    ring->load(in);
    in.finish();
}

void RingPile::save(SnapshotWriter& out) const {
    writeConfiguration(out, ring->settings());
    out.f32(static_cast<float>(ring->ringRadius()));
    out.u64(seed_);
    out.f64(geometry_.reclaimIncrement);
    writeGridAndNames(out, ring->heapMapColumns(), ring->heapMapRows(), qualityNames_);
    writeRandom(out, random->engine);
    ring->save(out);
}

std::vector<RingSlice> RingPile::run(const TableView& table, std::span<const std::string> columns,
                                     const ReclaimerSchedule& schedule) {
    std::vector<std::string> names = resolveChunkColumns(columns, table.columns).parameterNames;
    if (!qualityNames_.empty() && names != qualityNames_) {
        throw std::invalid_argument("the table's quality columns differ from those stacked before");
    }
    std::vector<RingSlice> slices =
        undoneIfCutShort([&] { return runRing(*ring, table, columns, schedule, geometry_.reclaimIncrement); });
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(names);
    }
    return slices;
}

std::vector<RingSlice> RingPile::drain(double speed_m_per_s) {
    return undoneIfCutShort([&] { return drainRing(*ring, geometry_.reclaimIncrement, speed_m_per_s); });
}

std::vector<RingSlice> RingPile::undoneIfCutShort(const std::function<std::vector<RingSlice>()>& call) {
    // The slices a call has cut reach the caller only when it returns: a call that ends with an exception
    // must not have taken anything off the ring, nor put anything on it.
    ContinuousRing::State before = ring->state();
    const SplitDrawSources randomBefore = *random;
    try {
        return call();
    } catch (...) {
        ring->restore(std::move(before));
        *random = randomBefore;
        throw;
    }
}

std::span<const float> RingPile::heights() {
    ring->updateHeapMap();
    return ring->heights();
}

}  // namespace korvex
