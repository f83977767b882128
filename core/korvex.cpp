#include "core/korvex.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <format>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "core/settings.h"

namespace korvex {

template <class Material>
Korvex<Material>::Korvex(const KorvexConfiguration& configuration) : configuration(configuration) {}

template <class Material>
Korvex<Material>::~Korvex() = default;

template <class Material>
void Korvex<Material>::pause() {
    paused.store(true);
}

template <class Material>
void Korvex<Material>::resume() {
    paused.store(false);
}

template <class Material>
bool Korvex<Material>::isPaused() {
    return paused.load();
}

template <class Material>
double Korvex<Material>::particleVolume() const {
    return static_cast<double>(1.0f / configuration.particlesPerCubicMeter);
}

template <class Material>
double Korvex<Material>::capacity() const {
    return bedCapacity_m3(configuration);
}

template <class Material>
void Korvex<Material>::checkRoomFor(double volume) const {
    checkBedRoom(heldVolume() + pendingMaterial.volume, volume, capacity());
}

template <class Material>
double Korvex<Material>::bytesPerHeldParticle(std::size_t) const {
    return 0.0;
}

template <class Material>
void Korvex<Material>::checkMemoryFor(double volume, std::size_t qualities) const {
    const double particles = (pendingMaterial.volume + volume) / particleVolume();
    // The log keeps every particle ever dropped; the engine only those still on the pile. Columns of
    // records grow by doubling, so up to twice what they hold may be taken.
    const double logged = particleLog ? (static_cast<double>(particlesDropped) + particles) * 2.0 *
                                            ParticleLog::bytesPerParticle(qualities)
                                      : 0.0;
    const double held = (heldVolume() / particleVolume() + particles) * bytesPerHeldParticle(qualities);
    if (!(logged + held <= particleMemoryBoundBytes)) {
        throw std::invalid_argument(std::format(
            "a volume of {:g} m3 would take the memory kept for particles to about {:.3g} GB, more than "
            "the {:g} GB bound; record fewer particles (fewer per m3, no particle log) or stack less; "
            "nothing was stacked",
            volume, (logged + held) / 1e9, particleMemoryBoundBytes / 1e9));
    }
}

template <class Material>
double Korvex<Material>::qualityLimit() const {
    return qualityLimitFor(capacity());
}

template <class Material>
void Korvex<Material>::checkParameterCount(std::size_t count) const {
    if (parameterCount && *parameterCount != count) {
        throw ParameterCountError();
    }
}

template <class Material>
Material Korvex<Material>::takePendingMaterial() {
    return pendingMaterial.pop(pendingMaterial.volume);
}

template <class Material>
double Korvex<Material>::reclaimReach() {
    return bedReclaimReach_m(configuration);
}

template <class Material>
void Korvex<Material>::stack(float x, float z, const Material& material) {
    checkChunkValues(x, z, material);
    // Material of no volume and no quality values is nothing at all and fixes nothing.
    if (material.sums.empty() && material.volume < AveragedParameters::zeroVolume) {
        return;
    }
    checkParameterCount(material.sums.size());
    checkRoomFor(material.volume);
    checkMemoryFor(material.volume, material.sums.size());
    checkQualityMagnitudes(material, qualityLimit());
    const double volumeOfParticle = particleVolume();
    // Kept in storage of its own, so that stacking a table row by row allocates nothing per row.
    pendingBefore.volume = pendingMaterial.volume;
    pendingBefore.sums.assign(pendingMaterial.sums.begin(), pendingMaterial.sums.end());
    const std::optional<std::size_t> countBefore = parameterCount;
    const std::uint64_t droppedBefore = particlesDropped;
    pendingMaterial.add(material);
    parameterCount = material.sums.size();
    try {
        while (pendingMaterial.volume >= volumeOfParticle) {
            pollInterrupt();
            pendingMaterial.pop(volumeOfParticle, particleBeingDropped);
            dropParticle(x, z, particleBeingDropped);
            ++particlesDropped;
        }
    } catch (...) {
        // A call cut short has stacked exactly the particles it dropped: the rest of its chunk must not
        // wait in the pending material, to be dropped by the next call wherever that stacks or handed
        // out by a reclaim. The remainder an earlier call left went into the first particle, if any.
        if (particlesDropped == droppedBefore) {
            std::swap(pendingMaterial, pendingBefore);
            parameterCount = countBefore;
        } else {
            pendingMaterial.volume = 0.0;
            std::fill(pendingMaterial.sums.begin(), pendingMaterial.sums.end(), 0.0);
        }
        throw;
    }
}

template <class Material>
void Korvex<Material>::updateHeapMap() {}

template <class Material>
void Korvex<Material>::initializeHeapMap(std::uint32_t width, std::uint32_t depth) {
    if (heapMap) {
        throw std::runtime_error(
            "invalid call to KorvexCli::initializeHeapMap(): heap map already initialized");
    }
    const std::uint64_t cells = std::uint64_t{width} * depth;
    if (cells > Limits::maxCells) {
        throw std::length_error("heap map of " + std::to_string(width) + " x " + std::to_string(depth) +
                                " cells has more than 2^28: choose a smaller pile or fewer "
                                "particles per cubic metre");
    }
    auto grid = std::make_unique<float[]>(cells);  // value-initialised: every height 0
    heapMapWidth = width;
    heapMapDepth = depth;
    heapMap = std::move(grid);
}

template <class Material>
void Korvex<Material>::saveCommonState(SnapshotWriter& out) const {
    out.material(pendingMaterial);
    out.flag(parameterCount.has_value());
    out.u64(parameterCount.value_or(0));
    out.u64(particlesDropped);
}

template <class Material>
void Korvex<Material>::loadCommonState(SnapshotReader& in) {
    pendingMaterial = in.material();
    const bool counted = in.flag();
    const std::uint64_t count = in.u64();
    parameterCount.reset();
    if (counted) {
        parameterCount = static_cast<std::size_t>(count);
    }
    particlesDropped = in.u64();
    // Pending material is less than a particle, of the count fixed; none is pending before a count is.
    if (!soundMaterial(pendingMaterial) || !(pendingMaterial.volume < particleVolume()) ||
        (!parameterCount && (pendingMaterial.volume != 0.0 || !pendingMaterial.sums.empty()))) {
        throw SnapshotError("snapshot is corrupt: its pending material is none that stacking leaves");
    }
}

template <class Material>
bool Korvex<Material>::soundMaterial(const Material& material) const {
    if (!(material.volume >= 0.0) || !std::isfinite(material.volume)) {
        return false;
    }
    if (!material.sums.empty() && material.sums.size() != parameterCount) {
        return false;
    }
    return std::ranges::all_of(material.sums, [](double sum) { return std::isfinite(sum); });
}

template <class Material>
void Korvex<Material>::forgetCommonMaterial() {
    pendingMaterial.reset();
    parameterCount.reset();
}

template <class Material>
std::deque<typename Korvex<Material>::Record*> Korvex<Material>::movingRecordList() const {
    std::lock_guard lock(particlesMutex);
    return movingRecords;
}

template <class Material>
std::deque<typename Korvex<Material>::Record*> Korvex<Material>::settledRecordList() const {
    std::lock_guard lock(particlesMutex);
    return settledRecords;
}

template <class Material>
void Korvex<Material>::waitWhilePaused() const {
    while (paused.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

template <class Material>
void Korvex<Material>::emptyRecordQueues() {
    std::lock_guard lock(particlesMutex);
    movingRecords.clear();
    settledRecords.clear();
}

template class Korvex<AveragedParameters>;

}  // namespace korvex
