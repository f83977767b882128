#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/settings.h"
#include "core/snapshot.h"
#include "fast/ring_slices.h"

namespace korvex {

class ContinuousRing;
struct SplitDrawSources;

/// One ring run continuously, with its own random sources and the names of the quality values, which
/// the first table fixes for the ring's whole life.
class RingPile {
public:
    /// Throws the SettingsError of checkSettings, naming every setting the ring cannot work with.
    explicit RingPile(const RingPileSettings& settings);
    /// The ring that save wrote into `in`, which it reads to the end; throws SnapshotError for a damaged
    /// payload.
    explicit RingPile(SnapshotReader& in);
    ~RingPile();

    RingPile(const RingPile&) = delete;
    RingPile& operator=(const RingPile&) = delete;

    /// Writes the whole ring, its settings and random sources included, so that the ring read back goes
    /// on exactly as this one would.
    void save(SnapshotWriter& out) const;
    SnapshotKind snapshotKind() const { return SnapshotKind::ring; }

    /// Stacks `table` while the reclaimer follows `schedule` (see runRing); returns the slices cut. A run
    /// that throws, refused or interrupted, leaves the ring as it was.
    std::vector<RingSlice> run(const TableView& table, std::span<const std::string> columns,
                               const ReclaimerSchedule& schedule);
    /// Reclaims what is left at the reclaim step, the reclaimer moving at `speed_m_per_s`; a drain that
    /// throws leaves the ring as it was.
    std::vector<RingSlice> drain(double speed_m_per_s);
    /// The height grid now; heights()[j * width + i] as on the other piles.
    std::span<const float> heights();
    std::uint32_t heightsWidth() const { return geometry_.columns; }
    std::uint32_t heightsDepth() const { return geometry_.rows; }
    void setInterruptCheck(std::function<void()> check);

    const std::vector<std::string>& qualityNames() const { return qualityNames_; }
    std::uint64_t seed() const { return seed_; }
    double reclaimIncrement() const { return geometry_.reclaimIncrement; }
    /// The checked settings and what follows from them.
    const RingGeometry& geometry() const { return geometry_; }
    float cellSize() const { return geometry_.cellSize; }
    /// Volume lying on the ring now, m3.
    double volumeOnRing() const;
    /// Where the reclaimer's foot stands, metres on the centre line.
    double reclaimerPosition() const;

private:
    /// Runs `call` on the ring; when it throws, puts the ring and its random sources back as they were.
    std::vector<RingSlice> undoneIfCutShort(const std::function<std::vector<RingSlice>()>& call);

    const std::uint64_t seed_;
    const RingGeometry geometry_;
    // Declared before the ring, which draws from them, so that they outlive it.
    std::unique_ptr<SplitDrawSources> random;
    std::unique_ptr<ContinuousRing> ring;
    std::vector<std::string> qualityNames_;
};

}  // namespace korvex
