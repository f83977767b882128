#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/configuration.h"
#include "core/snapshot.h"
#include "fast/continuous_ring.h"
#include "fast/random_sources.h"

namespace korvex {

/// How a continuously run ring is set up: the fast engine's configuration (its `circular` flag is not
/// read), the centre-line radius, the seed of its own random sources and the reclaim step.
struct RingPileSettings {
    KorvexConfiguration configuration;
    float ringRadius = 0.0f;
    std::uint64_t seed = 0;
    /// Metres on the centre line between two output slices; by default the edge of a cell.
    std::optional<double> reclaimIncrement;
};

/// One ring run continuously, with its own random sources and the names of the quality values, which
/// the first table fixes for the ring's whole life.
class RingPile {
public:
    /// Throws std::invalid_argument naming the setting the ring cannot work with.
    explicit RingPile(const RingPileSettings& settings);
    /// The ring that save wrote into `in`, which it reads to the end; throws SnapshotError for a damaged
    /// payload.
    explicit RingPile(SnapshotReader& in);

    /// Writes the whole ring, its settings and random sources included, so that the ring read back goes
    /// on exactly as this one would.
    void save(SnapshotWriter& out) const;

    /// Stacks `table` while the reclaimer follows `schedule` (see runRing); returns the slices cut. A run
    /// that throws, refused or interrupted, leaves the ring as it was.
    std::vector<RingSlice> run(const TableView& table, std::span<const std::string> columns,
                               const ReclaimerSchedule& schedule);
    /// Reclaims what is left at the reclaim step, the reclaimer moving at `speed_m_per_s`; a drain that
    /// throws leaves the ring as it was.
    std::vector<RingSlice> drain(double speed_m_per_s);
    /// The height grid now; heights()[j * width + i] as on the other piles.
    std::span<const float> heights();
    std::uint32_t heightsWidth() const { return ring.heapMapWidth; }
    std::uint32_t heightsDepth() const { return ring.heapMapDepth; }
    void setInterruptCheck(std::function<void()> check) { ring.interruptCheck = std::move(check); }

    const std::vector<std::string>& qualityNames() const { return qualityNames_; }
    std::uint64_t seed() const { return seed_; }
    double reclaimIncrement() const { return reclaimIncrement_; }
    ContinuousRing& simulator() { return ring; }

private:
    /// Runs `call` on the ring; when it throws, puts the ring and its random sources back as they were.
    std::vector<RingSlice> undoneIfCutShort(const std::function<std::vector<RingSlice>()>& call);

    const std::uint64_t seed_;
    SplitDrawSources random;
    ContinuousRing ring;
    double reclaimIncrement_;
    std::vector<std::string> qualityNames_;
};

}  // namespace korvex
