#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "core/averaged_parameters.h"
#include "core/bed_bounds.h"
#include "core/configuration.h"
#include "core/interrupt_poll.h"
#include "core/particle_log.h"
#include "core/particle_record.h"
#include "core/settings.h"
#include "core/snapshot.h"

namespace korvex {

namespace testing {
struct EngineAccess;
}  // namespace testing

/// Abstract base of the particle engines, fast and detailed, as _korvex_lib drives them (a pile drives
/// them through PileEngine's adapters). Owns the configuration, the
/// height grid (heap map), the material stacked but not yet cut into a
/// particle, a pause flag, and two queues of particle records for an outside
/// viewer. Cuts stacked material into particles of one fixed volume and
/// hands each to the derived engine's dropParticle.
template <class Material>
class Korvex {
public:
    using Record = ParticleRecord<Material>;

    /// Copies the configuration; the heap map is created by the derived class.
    explicit Korvex(const KorvexConfiguration& configuration);
    virtual ~Korvex();

    Korvex(const Korvex&) = delete;
    Korvex& operator=(const Korvex&) = delete;

    virtual void pause();
    virtual void resume();
    virtual bool isPaused();

    /// Adds `material` to the pending material and drops every whole particle
    /// of it at (x, z); a remainder smaller than one particle waits for the next
    /// call, or for takePendingMaterial. A call that an interrupt check or a
    /// drop ends midway has stacked exactly the particles it dropped: nothing of
    /// its chunk stays pending, and stackedVolume() tells how much went on. Throws, before anything changes,
    /// std::invalid_argument for a negative or non-finite volume, non-finite
    /// sums, a non-finite position, a volume checkRoomFor or checkMemoryFor
    /// refuses or a quality value beyond qualityLimit(), and ParameterCountError
    /// for a parameter count that differs from the one fixed by earlier
    /// material (no quality values at all fix a count of zero).
    virtual void stack(float x, float z, const Material& material);

    /// Empties the pile: heights, slices or bodies, and both record queues.
    virtual void clear() = 0;
    /// Returns once the pile is ready to be read.
    virtual void finishStacking() = 0;
    /// True when there is nothing more to reclaim.
    virtual bool reclaimingFinished() = 0;
    /// Advances the reclaimer to `position` and returns the material it takes.
    virtual Material reclaim(float position) = 0;
    /// Places one particle of the fixed particle volume dropped at (x, z).
    virtual void dropParticle(float x, float z, const Material& particle) = 0;
    /// Brings the heap map up to date.
    virtual void updateHeapMap();

    /// Creates the all-zero width x depth heap map. Throws std::runtime_error
    /// when it exists already, std::length_error when the element count is
    /// above Limits::maxCells.
    void initializeHeapMap(std::uint32_t width, std::uint32_t depth);

    /// Volume of one particle: 1 / particlesPerCubicMeter in single precision.
    double particleVolume() const;
    /// Volume stacked since construction, cubic metres: every particle dropped and the pending material.
    double stackedVolume() const {
        return static_cast<double>(particlesDropped) * particleVolume() + pendingMaterial.volume;
    }

    /// Most volume the bed can hold, cubic metres: its area times highestPileM.
    virtual double capacity() const;
    /// Volume placed on the bed as particles and still held there, cubic metres.
    virtual double heldVolume() const = 0;
    /// Throws std::invalid_argument when `volume` more cubic metres, with what the bed and the
    /// pending material hold, would exceed capacity(). A NaN volume is refused too.
    void checkRoomFor(double volume) const;
    /// Most memory, bytes, that what a pile keeps for each of its particles may take: the particle log, a
    /// ring's cubes, the detailed engine's bodies.
    static constexpr double particleMemoryBoundBytes = Limits::maxMemoryBytes;
    /// Bytes the engine keeps for each particle lying on the pile, with `qualities` quality values.
    virtual double bytesPerHeldParticle(std::size_t qualities) const;
    /// Throws std::invalid_argument, giving the figure, when `volume` more cubic metres with `qualities`
    /// quality values would take the memory kept for particles beyond particleMemoryBoundBytes.
    void checkMemoryFor(double volume, std::size_t qualities) const;
    /// Largest magnitude of a quality value the pile takes: a full bed of it still sums to a finite
    /// number, with room to spare for rounding.
    double qualityLimit() const;
    /// Throws ParameterCountError when material with `count` quality values
    /// differs from the count fixed by earlier material.
    void checkParameterCount(std::size_t count) const;
    /// Removes the pending material, a remainder smaller than one particle, and returns it; the
    /// parameter count stays fixed.
    Material takePendingMaterial();
    /// How far along the reclaim direction, metres, the reclaimer may have to go before it has taken
    /// everything; at least twice the sum of length and depth.
    virtual double reclaimReach();

    /// The configuration the simulator was built with.
    const KorvexConfiguration& settings() const { return configuration; }
    /// Heap-map columns along x and rows along z.
    std::uint32_t heapMapColumns() const { return heapMapWidth; }
    std::uint32_t heapMapRows() const { return heapMapDepth; }
    /// Height of heap-map column i (along x) in row j (along z), as last brought up to date.
    float heightAt(std::uint32_t i, std::uint32_t j) const {
        return heapMap[std::size_t{j} * heapMapWidth + i];
    }
    /// The heap map as last brought up to date; element j * heapMapColumns() + i is column i in row j.
    std::span<const float> heights() const {
        return {heapMap.get(), std::size_t{heapMapWidth} * heapMapDepth};
    }
    /// Material stacked but amounting to less than one particle.
    const Material& pending() const { return pendingMaterial; }
    /// The count of quality values fixed by the first material stacked; empty until then.
    const std::optional<std::size_t>& fixedParameterCount() const { return parameterCount; }
    /// Particles handed to dropParticle so far.
    std::uint64_t droppedParticles() const { return particlesDropped; }
    /// For an outside viewer: the records of the particles in motion and at rest, as listed now.
    std::deque<Record*> movingRecordList() const;
    std::deque<Record*> settledRecordList() const;
    /// When set, every particle is entered into `log` as it comes to rest. Not owned.
    void setParticleLog(ParticleLog* log) { particleLog = log; }
    /// When set, called now and then during long calls; whatever it throws ends the call, leaving the
    /// material stacked so far on the pile. This is how a caller makes a long call interruptible.
    void setInterruptCheck(std::function<void()> check) { interrupts.set(std::move(check)); }

    /// Calls the interrupt check on every 1024th call.
    void pollInterrupt() { interrupts.poll(); }

protected:
    friend struct testing::EngineAccess;

    /// The height of heap-map column i (along x) in row j (along z), to be written.
    float& heightCell(std::uint32_t i, std::uint32_t j) { return heapMap[std::size_t{j} * heapMapWidth + i]; }

    std::deque<Record*> movingRecords;
    std::deque<Record*> settledRecords;
    /// Guards both record queues and the records in them.
    mutable std::mutex particlesMutex;
    const KorvexConfiguration configuration;
    std::atomic<bool> paused{false};
    std::uint32_t heapMapWidth = 0;
    std::uint32_t heapMapDepth = 0;
    std::unique_ptr<float[]> heapMap;
    Material pendingMaterial;
    /// The count of quality values fixed by the first material stacked; empty until then.
    std::optional<std::size_t> parameterCount;
    /// Particles handed to dropParticle so far; the drop index of the particle being dropped.
    std::uint64_t particlesDropped = 0;
    /// Not owned; see setParticleLog.
    ParticleLog* particleLog = nullptr;
    InterruptPoll interrupts;

    /// Writes what the base holds that decides what comes next: the pending material, the parameter count
    /// and the count of particles dropped.
    void saveCommonState(SnapshotWriter& out) const;
    /// Reads what saveCommonState wrote. Throws SnapshotError for pending material that no stacking leaves.
    void loadCommonState(SnapshotReader& in);
    /// Whether `material` is what stacking can leave on this pile: a finite volume of at least 0, and
    /// finite sums, none or as many as the fixed parameter count.
    bool soundMaterial(const Material& material) const;
    /// Empties the pending material and frees the parameter count.
    void forgetCommonMaterial();
    /// Sleeps in steps of 50 ms while the simulation is paused.
    void waitWhilePaused() const;
    /// Empties both record queues under particlesMutex, movingRecords first.
    void emptyRecordQueues();

private:
    /// The particle that stack hands to dropParticle, refilled for every particle rather than allocated.
    Material particleBeingDropped;
    /// The pending material as it was when the current stack call began.
    Material pendingBefore;
};

extern template class Korvex<AveragedParameters>;

}  // namespace korvex
