#include "pile/ring_pile.h"

#include <stdexcept>
#include <utility>

#include "fast/continuous_ring.h"
#include "fast/random_sources.h"

namespace korvex {

RingPile::RingPile(const RingPileSettings& settings)
    : seed_(settings.seed),
      geometry_(checkedGeometry(settings)),
      random(std::make_unique<SplitDrawSources>(settings.seed)),
      ring(std::make_unique<ContinuousRing>(geometry_, *random)) {}

RingPile::~RingPile() = default;

void RingPile::setInterruptCheck(std::function<void()> check) { ring->setInterruptCheck(std::move(check)); }

double RingPile::volumeOnRing() const { return ring->volumeOnRing(); }

double RingPile::reclaimerPosition() const { return ring->reclaimerPosition(); }

std::vector<RingSlice> RingPile::run(const TableView& table, std::span<const std::string> columns,
                                     const ReclaimerSchedule& schedule) {
    std::vector<std::string> names = resolveChunkColumns(columns, table.columns).parameterNames;
    if (!qualityNames_.empty() && names != qualityNames_) {
        throw std::invalid_argument("the table's quality columns differ from those stacked before");
    }
    std::vector<RingSlice> slices = runRing(*ring, table, columns, schedule, geometry_.reclaimIncrement);
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(names);
    }
    return slices;
}

std::vector<RingSlice> RingPile::drain(double speed_m_per_s) {
    return drainRing(*ring, geometry_.reclaimIncrement, speed_m_per_s);
}

std::span<const float> RingPile::heights() {
    ring->updateHeapMap();
    return ring->heights();
}

}  // namespace korvex
