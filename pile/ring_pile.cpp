#include "pile/ring_pile.h"

#include <stdexcept>

namespace korvex {

RingPile::RingPile(const RingPileSettings& settings)
    : seed_(settings.seed), geometry_(checkedGeometry(settings)), random(settings.seed), ring(geometry_, random) {}

std::vector<RingSlice> RingPile::run(const TableView& table, std::span<const std::string> columns,
                                     const ReclaimerSchedule& schedule) {
    std::vector<std::string> names = resolveChunkColumns(columns, table.columns).parameterNames;
    if (!qualityNames_.empty() && names != qualityNames_) {
        throw std::invalid_argument("the table's quality columns differ from those stacked before");
    }
    std::vector<RingSlice> slices = runRing(ring, table, columns, schedule, geometry_.reclaimIncrement);
    if (qualityNames_.empty()) {
        qualityNames_ = std::move(names);
    }
    return slices;
}

std::vector<RingSlice> RingPile::drain(double speed_m_per_s) {
    return drainRing(ring, geometry_.reclaimIncrement, speed_m_per_s);
}

std::span<const float> RingPile::heights() {
    ring.updateHeapMap();
    return ring.heights();
}

}  // namespace korvex
