#include "detailed/korvex_detailed.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <format>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "detailed/heap_map_cell.h"

namespace korvex {

namespace {

/// `position` held within one `extent` before and after the bed's span of [0, extent]; NaN goes to 0.
float clampedStackingPosition(float position, float extent) {
    const float margin = std::fabs(extent);
    if (!(position >= -margin)) {
        return std::isnan(position) ? 0.0f : -margin;
    }
    return position > extent + margin ? extent + margin : position;
}

constexpr std::uint64_t stepMilliseconds = 30;
constexpr std::uint64_t ageLimit = Limits::freezeAgeMs;
constexpr std::uint64_t restingAgeLimit = 15000;

PileGeometry detailedGeometryOf(const KorvexConfiguration& configuration) {
    PileSettings settings;
    settings.configuration = configuration;
    settings.engine = Engine::detailed;
    return checkedGeometry(settings);
}

std::uint64_t dropIntervalFor(float particleSize) {
    const double milliseconds = std::pow(static_cast<double>(particleSize), 3.0) * 1000.0;
    // By then the step that freezes every particle dropped before has run: a longer wait would only
    // step a still world.
    constexpr std::uint64_t longest = ageLimit + stepMilliseconds;
    return milliseconds >= static_cast<double>(longest) ? longest : static_cast<std::uint64_t>(milliseconds);
}

std::unique_ptr<btDbvtBroadphase> makeBroadphase() {
    auto broadphase = std::make_unique<btDbvtBroadphase>();
    // Bullet reinserts a hundredth of the resting bodies' tree on every substep after any body has come
    // to rest, which on a growing pile is nearly every substep, at a cost that grows with the pile. One
    // leaf per substep keeps the tree nearly as shallow, as bodies come to rest one per drop.
    broadphase->m_fupdates = 0;
    return broadphase;
}

std::unique_ptr<PileWorld> makeWorld(btCollisionDispatcher& dispatcher, btDbvtBroadphase& broadphase,
                                     btSequentialImpulseConstraintSolver& solver,
                                     btDefaultCollisionConfiguration& collisionConfiguration) {
    auto world = std::make_unique<PileWorld>(&dispatcher, &broadphase, &solver, &collisionConfiguration);
    world->setGravity(btVector3(0.0f, -9.80665f, 0.0f));
    // Only a body that can move needs its bounding box refreshed; a sleeping one is refreshed from the
    // substep it wakes in, and the frozen particles and the ground never wake.
    world->setForceUpdateAllAabbs(false);
    return world;
}

btRigidBody::btRigidBodyConstructionInfo groundInfo() {
    // The ground supplies its own shape and motion state.
    btRigidBody::btRigidBodyConstructionInfo info(0.0f, nullptr, nullptr, btVector3(0.0f, 0.0f, 0.0f));
    info.m_friction = 10.0f;
    return info;
}

// Bullet's pair cache is walked whole every time a body leaves the world, so taking a settled pile
// apart body by body would cost bodies x pairs. Pairs between bodies that can no longer move are of
// no use to the solver; once nothing moves they can all go in one walk. A body added later finds
// its own pairs as it enters the broadphase.
void dropAllContactPairs(btBroadphaseInterface& broadphase, btDispatcher& dispatcher) {
    struct EveryPair : btOverlapCallback {
        bool processOverlap(btBroadphasePair&) override { return true; }
    } everyPair;
    broadphase.getOverlappingPairCache()->processAllOverlappingPairs(&everyPair, &dispatcher);
}

template <class Pointer>
bool containsSorted(const std::vector<Pointer>& sorted, Pointer value) {
    return std::binary_search(sorted.begin(), sorted.end(), value);
}

}  // namespace

bool settlesByAge(std::uint64_t age, int activationState) {
    return age >= ageLimit || (activationState == WANTS_DEACTIVATION && age >= restingAgeLimit);
}

float throwReach(float fall) {
    // Stepped as the world steps a body: gravity, then damping, then the move, every substep.
    const float substep = 0.01f;
    const float damping = std::pow(1.0f - 0.1f, substep);
    const float elevation = 0.34906587f;
    float across = 3.0f * std::cos(elevation);
    float upwards = 3.0f * std::sin(elevation);
    float travelled = 0.0f;
    float height = 0.0f;
    for (int step = 0; step < 100000 && height > -fall; ++step) {
        upwards = (upwards - 9.80665f * substep) * damping;
        across *= damping;
        height += upwards * substep;
        travelled += across * substep;
    }
    return travelled;
}

template <class Material>
KorvexDetailed<Material>::KorvexDetailed(const KorvexConfiguration& configuration, std::mt19937& generator)
    : KorvexDetailed(detailedGeometryOf(configuration), generator) {}

template <class Material>
KorvexDetailed<Material>::KorvexDetailed(const PileGeometry& geometry, std::mt19937& generator)
    : Korvex<Material>(geometry.configuration),
      particleSize_(geometry.cellSize),
      inverseParticleSize_(1.0f / particleSize_),
      dropInterval_(dropIntervalFor(particleSize_)),
      dropGenerator_(generator),
      cellCentreOffset_(geometry.configuration.cellsFromOrigin ? 0.5f : 0.0f),
      dropDistributions_(particleSize_),
      collisionConfiguration_(std::make_unique<btDefaultCollisionConfiguration>()),
      dispatcher_(std::make_unique<btCollisionDispatcher>(collisionConfiguration_.get())),
      broadphase_(makeBroadphase()),
      solver_(std::make_unique<btSequentialImpulseConstraintSolver>()),
      dynamicsWorld_(makeWorld(*dispatcher_, *broadphase_, *solver_, *collisionConfiguration_)),
      // The plane y = 1 of the shape's own frame, moved down by 1, is the plane y = 0 of the world.
      groundShape_(btVector3(0.0f, 1.0f, 0.0f), 1.0f),
      groundMotionState_(btTransform(btQuaternion(0.0f, 0.0f, 0.0f, 1.0f), btVector3(0.0f, -1.0f, 0.0f))),
      groundBody_(*dynamicsWorld_, groundShape_, groundMotionState_, groundInfo()),
      reclaimGeometry(geometry.configuration) {
    if (geometry.engine != Engine::detailed) {
        throw std::invalid_argument(
            "a detailed-engine pile needs the geometry of the detailed engine's boxes");
    }
    this->initializeHeapMap(geometry.columns, geometry.rows);
    restingColumns.reset(std::size_t{this->heapMapWidth} * this->heapMapDepth);
}

template <class Material>
KorvexDetailed<Material>::~KorvexDetailed() {
    KorvexDetailed::clear();
}

template <class Material>
void KorvexDetailed<Material>::clear() {
    std::lock_guard lock(simulationMutex_);
    simulationTime_ = 0;
    stepsSinceBuriedPass_ = 0;
    std::fill_n(this->heapMap.get(), std::size_t{this->heapMapWidth} * this->heapMapDepth, 0.0f);
    // The queues only point at records that the particles own: empty them before the records go.
    this->emptyRecordQueues();
    movingParticles_.clear();
    restingColumns.reset(std::size_t{this->heapMapWidth} * this->heapMapDepth);
    dropAllContactPairs(*broadphase_, *dispatcher_);
    while (!particles_.empty()) {
        particles_.pop_back();
    }
    reclaimOrder.clear();
    reclaimedEntries = 0;
    reclaimOrderValid = false;
}

template <class Material>
void KorvexDetailed<Material>::finishStacking() {
    while (particlesInMotion_.load()) {
        this->pollInterrupt();
        simulateStep();
    }
}

template <class Material>
void KorvexDetailed<Material>::simulateStep() {
    if (this->paused.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    std::lock_guard lock(simulationMutex_);
    reclaimOrderValid = false;
    dynamicsWorld_->stepSimulation(0.03f, 3, 0.01f);
    publishParticles();

    // A settled particle stays listed as moving until the next publishing pass has shown it at rest.
    for (ParticleType* particle : movingParticles_) {
        if (!particle->settled &&
            settlesByAge(simulationTime_ - particle->dropTime, particle->body.body().getActivationState())) {
            settleParticle(*particle);
        }
    }

    // Even looking at the cells of the pile costs, so buried particles are looked for only now and then.
    stepsSinceBuriedPass_ = (stepsSinceBuriedPass_ + 1) % 100;
    if (stepsSinceBuriedPass_ == 0) {
        takeOutBuriedParticles();
    }

    simulationTime_ += stepMilliseconds;
}

template <class Material>
std::optional<std::size_t> KorvexDetailed<Material>::restingCell(const ParticleType& particle) const {
    const btVector3& centre = particle.settledCentre;
    const auto i = cellWithin(centre.x() * inverseParticleSize_ - cellCentreOffset_, this->heapMapWidth);
    const auto j = cellWithin(centre.z() * inverseParticleSize_ - cellCentreOffset_, this->heapMapDepth);
    if (!i || !j) {
        return std::nullopt;
    }
    return std::size_t{*j} * this->heapMapWidth + *i;
}

template <class Material>
void KorvexDetailed<Material>::takeOutBuriedParticles() {
    std::vector<ParticleType*>& buried = buriedScratch;
    buried.clear();
    const double buriedDepth = 4.0 * static_cast<double>(particleSize_);
    if (buriedFoundByWalk) {
        for (ParticleType& particle : particles_) {
            const auto cell = particle.settled && particle.inWorld() ? restingCell(particle) : std::nullopt;
            if (cell && static_cast<double>(this->heapMap[*cell]) - buriedDepth >
                            static_cast<double>(particle.settledCentre.y())) {
                restingColumns.remove(*cell, &particle);
                buried.push_back(&particle);
            }
        }
    } else {
        restingColumns.takeBuried(this->heapMap.get(), buriedDepth, buried);
    }
    // In drop order, as a walk along the pile would find them, so that the world's trees change alike.
    std::sort(buried.begin(), buried.end(),
              [](const ParticleType* a, const ParticleType* b) { return a->dropIndex < b->dropIndex; });
    for (ParticleType* particle : buried) {
        particle->body.removeFromWorld();
    }
}

template <class Material>
void KorvexDetailed<Material>::publishParticles() {
    std::lock_guard lock(this->particlesMutex);
    for (ParticleType* particle : movingParticles_) {
        if (!particle->viewerRecord) {
            auto record = std::make_unique<Record>();
            this->movingRecords.push_back(record.get());
            particle->viewerRecord = std::move(record);
        }
        const btTransform transform = particle->body.transform();
        const btVector3& origin = transform.getOrigin();
        btQuaternion rotation;
        transform.getBasis().getRotation(rotation);
        Record& record = *particle->viewerRecord;
        record.material = particle->material;
        record.settled = particle->settled;
        record.position = {origin.x(), origin.y(), origin.z()};
        record.dimensions = {particle->dimensions.x(), particle->dimensions.y(), particle->dimensions.z()};
        record.orientation = {rotation.w(), rotation.x(), rotation.y(), rotation.z()};
    }

    // Retire the settled particles in one pass: their records move from movingRecords to the end of
    // settledRecords in drop order.
    std::vector<Record*>& retired = retiredScratch;
    retired.clear();
    std::erase_if(movingParticles_, [&retired](ParticleType* particle) {
        if (particle->settled) {
            retired.push_back(particle->viewerRecord.get());
        }
        return particle->settled;
    });
    if (!retired.empty()) {
        std::vector<Record*> sorted = retired;
        std::sort(sorted.begin(), sorted.end());
        std::erase_if(this->movingRecords,
                      [&sorted](Record* record) { return containsSorted(sorted, record); });
        this->settledRecords.insert(this->settledRecords.end(), retired.begin(), retired.end());
    }
    particlesInMotion_.exchange(!movingParticles_.empty());
}

template <class Material>
float KorvexDetailed<Material>::surfaceHeightAt(float x, float z) {
    const auto i = clampedCell(inverseParticleSize_ * x - cellCentreOffset_, this->heapMapWidth);
    const auto j = clampedCell(inverseParticleSize_ * z - cellCentreOffset_, this->heapMapDepth);
    if (!i || !j) {
        return 0.0f;
    }
    const float centre = this->heightAt(*i, *j);
    return centre > 0.0f ? centre + 0.5f * particleSize_ : 0.0f;
}

template <class Material>
void KorvexDetailed<Material>::settleParticle(ParticleType& particle) {
    const btVector3 resting = particle.body.transform().getOrigin();
    // Logged before anything changes, so that a log that runs out of memory leaves the particle moving.
    if (this->particleLog) {
        this->particleLog->append(particle.dropIndex, resting.x(), resting.y(), resting.z(), particle.material);
    }
    particle.body.body().setMassProps(0.0f, btVector3(0.0f, 0.0f, 0.0f));
    if (frozenBodiesRejoinAsStatic) {
        particle.body.rejoinWorld();
    }
    const bool settledBefore = particle.settled;
    particle.settled = true;
    particle.settledCentre = resting;
    if (!settledBefore && particle.inWorld()) {
        if (const auto cell = restingCell(particle)) {
            restingColumns.add(*cell, &particle, particle.settledCentre.y());
        }
    }

    const btVector3& centre = particle.settledCentre;
    const auto i = clampedCell(inverseParticleSize_ * centre.x() - cellCentreOffset_, this->heapMapWidth);
    const auto j = clampedCell(inverseParticleSize_ * centre.z() - cellCentreOffset_, this->heapMapDepth);
    // A body the solver has flung to NaN or infinity has no height worth recording.
    if (!i || !j || !std::isfinite(centre.y())) {
        return;
    }
    float& height = this->heightCell(*i, *j);
    if (centre.y() > height) {
        height = centre.y();
    }
}

template <class Material>
void KorvexDetailed<Material>::dropParticle(float x, float z, const Material& particle) {
    // A stacker far off the bed would put the box where single precision no longer resolves it and
    // stretch the reclaim front without bound; within a band of the bed's own size around it the
    // physics decides where the box lands.
    x = clampedStackingPosition(x, this->configuration.length);
    z = clampedStackingPosition(z, this->configuration.depth);
    while (simulationTime_ < nextDropTime_) {
        this->pollInterrupt();
        simulateStep();
    }

    const detail::DropDistributions& random = dropDistributions_;
    std::mt19937& generator = dropGenerator_;
    const float d1 = random.size(generator);
    const float d2 = random.size(generator);
    const float d3 = random.size(generator);
    const float speedFactor = random.factor(generator);
    const float angleFactor = random.factor(generator);
    const float spin = random.angle(generator);
    const float heightFactor = random.factor(generator);
    const float lateralOffset = random.lateral(generator);

    const btVector3 dimensions(particleSize_ + d3, particleSize_ + d2, particleSize_ + d1);
    // About 3 m/s towards +z, tilted upwards by about 20 degrees.
    const float elevation = angleFactor * 0.34906587f;
    const btVector3 velocity(0.0f, 3.0f * speedFactor * std::sin(elevation),
                             3.0f * speedFactor * std::cos(elevation));
    const btQuaternion rotation(btVector3(0.0f, 0.0f, 1.0f), spin);
    // Thrown from 5 m short of the stacking position, so that the launch carries it onto the pile; an aimed
    // throw starts as far short as the box will fly before it comes down on the surface there. A boom that
    // follows the pile keeps its discharge fallHeight above the surface under it.
    const std::optional<float>& fallHeight = this->configuration.fallHeight;
    const float launchHeight = fallHeight
                                   ? surfaceUnderDrop(x + lateralOffset, z) + *fallHeight * heightFactor
                                   : this->configuration.dropHeight * heightFactor;
    const float shortBy = this->configuration.aimedThrow
                              ? throwReach(launchHeight - 0.5f * particleSize_ - surfaceHeightAt(x, z))
                              : 5.0f;
    const btVector3 position(x + lateralOffset, launchHeight, z - shortBy);

    createParticle(position, particle, rotation, velocity, dimensions);

    nextDropTime_ = simulationTime_ > std::numeric_limits<std::uint64_t>::max() - dropInterval_
                       ? std::numeric_limits<std::uint64_t>::max()
                       : simulationTime_ + dropInterval_;
}

template <class Material>
float KorvexDetailed<Material>::surfaceUnderDrop(float x, float z) const {
    // The heap map holds centre heights, so the tops of the boxes lie one box size (half a box and a
    // margin) above the highest cell. The box is thrown from 5 m short of where it lands, so the cells
    // under its start count as well: it must never start inside the pile.
    float highest = 0.0f;
    for (const float landingZ : {z, z - 5.0f}) {
        const auto cellOf = [this](float position, std::uint32_t count) {
            return clampedCell(inverseParticleSize_ * position - cellCentreOffset_, count);
        };
        const auto firstI = cellOf(x - particleSize_, this->heapMapWidth);
        const auto lastI = cellOf(x + particleSize_, this->heapMapWidth);
        const auto firstJ = cellOf(landingZ - particleSize_, this->heapMapDepth);
        const auto lastJ = cellOf(landingZ + particleSize_, this->heapMapDepth);
        if (!firstI || !lastI || !firstJ || !lastJ) {
            continue;
        }
        for (std::uint32_t j = *firstJ; j <= *lastJ; ++j) {
            for (std::uint32_t i = *firstI; i <= *lastI; ++i) {
                highest = std::max(highest, this->heapMap[std::size_t{j} * this->heapMapWidth + i]);
            }
        }
    }
    return highest + particleSize_;
}

template <class Material>
typename KorvexDetailed<Material>::ParticleType& KorvexDetailed<Material>::createParticle(
    const btVector3& position, Material material, const btQuaternion& rotation, const btVector3& velocity,
    const btVector3& dimensions) {
    // Numerically the particle's material volume, varied by the size jitter.
    const float mass =
        dimensions.y() * dimensions.x() * dimensions.z() / this->configuration.particleVolumeFactor;
    btVector3 inertia(0.0f, 0.0f, 0.0f);
    btBoxShape(dimensions * 0.5f).calculateLocalInertia(mass, inertia);

    // The particle supplies its own shape and motion state.
    btRigidBody::btRigidBodyConstructionInfo info(mass, nullptr, nullptr, inertia);
    info.m_linearDamping = 0.1f;
    info.m_angularDamping = 0.1f;
    info.m_friction = 0.5f;
    info.m_rollingFriction = 0.0f;
    info.m_spinningFriction = 0.0f;
    info.m_restitution = 0.0f;
    info.m_linearSleepingThreshold = 0.5f;
    info.m_angularSleepingThreshold = 0.5f;
    info.m_additionalDamping = true;
    info.m_additionalDampingFactor = 0.005f;
    info.m_additionalLinearDampingThresholdSqr = 0.5f;
    info.m_additionalAngularDampingThresholdSqr = 0.5f;
    info.m_additionalAngularDampingFactor = 0.5f;

    ParticleType& particle =
        particles_.emplace_back(*dynamicsWorld_, dimensions, simulationTime_, std::move(material),
                               btTransform(rotation, position), info);
    particle.dropIndex = this->particlesDropped;
    try {
        movingParticles_.push_back(&particle);
    } catch (...) {
        particles_.pop_back();
        throw;
    }
    reclaimOrderValid = false;
    particlesInMotion_.store(true);

    btRigidBody& body = particle.body.body();
    body.setDeactivationTime(0.05f);
    // Continuous collision detection for any step that moves the body by more than 0.5 m.
    body.setCcdMotionThreshold(0.5f);
    body.setLinearVelocity(velocity);
    return particle;
}

template <class Material>
bool KorvexDetailed<Material>::reclaimingFinished() {
    return particles_.empty();
}

template <class Material>
double KorvexDetailed<Material>::heldVolume() const {
    return static_cast<double>(particles_.size()) * this->particleVolume();
}

template <class Material>
double KorvexDetailed<Material>::bytesPerHeldParticle(std::size_t qualities) const {
    // The list node's links, the record, the material's values in the particle and its record, and the
    // entries of the moving list and the reclaim order.
    constexpr std::size_t fixed = sizeof(ParticleType) + 2 * sizeof(void*) + sizeof(Record) +
                                  sizeof(ParticleType*) + sizeof(ReclaimEntry);
    return static_cast<double>(fixed + 2 * qualities * sizeof(double));
}

template <class Material>
double KorvexDetailed<Material>::reclaimReach() {
    finishStacking();
    if (!reclaimOrderValid) {
        buildReclaimOrder();
    }
    const double reach = Korvex<Material>::reclaimReach();
    // Particles without a finite coordinate go first; the last entry lies farthest along.
    if (reclaimOrder.size() > reclaimedEntries && reclaimOrder.back().finite) {
        return std::max(reach, reclaimOrder.back().coordinate);
    }
    return reach;
}

template <class Material>
Material KorvexDetailed<Material>::reclaim(float position) {
    if (!reclaimOrderValid) {
        buildReclaimOrder();
    }
    const double limit = position;
    const auto first = reclaimOrder.begin() + static_cast<std::ptrdiff_t>(reclaimedEntries);
    const auto last = std::partition_point(first, reclaimOrder.end(), [limit](const ReclaimEntry& entry) {
        return !entry.finite || entry.coordinate < limit;
    });
    if (first == last) {
        return Material{};
    }

    std::vector<const ReclaimEntry*> taken;
    taken.reserve(static_cast<std::size_t>(last - first));
    for (auto entry = first; entry != last; ++entry) {
        taken.push_back(&*entry);
    }
    std::sort(taken.begin(), taken.end(),
              [](const ReclaimEntry* a, const ReclaimEntry* b) { return a->dropIndex < b->dropIndex; });

    // The slice is summed before anything is destroyed, so that a parameter-count error loses nothing.
    Material result;
    for (const ReclaimEntry* entry : taken) {
        result.add(entry->particle->material);
    }

    reclaimedEntries = static_cast<std::size_t>(last - reclaimOrder.begin());
    forgetRecords(first, last);
    if (!movingParticles_.empty()) {
        // A particle taken before it has settled must not stay listed as moving.
        std::vector<const ParticleType*> doomed;
        doomed.reserve(taken.size());
        for (const ReclaimEntry* entry : taken) {
            doomed.push_back(&*entry->particle);
        }
        std::sort(doomed.begin(), doomed.end());
        std::erase_if(movingParticles_,
                      [&doomed](const ParticleType* particle) { return containsSorted(doomed, particle); });
    }
    for (const ReclaimEntry* entry : taken) {
        const ParticleType& particle = *entry->particle;
        if (particle.settled && particle.inWorld()) {
            if (const auto cell = restingCell(particle)) {
                restingColumns.remove(*cell, &particle);
            }
        }
        particles_.erase(entry->particle);
    }
    return result;
}

template <class Material>
void KorvexDetailed<Material>::buildReclaimOrder() {
    reclaimOrder.clear();
    reclaimedEntries = 0;
    reclaimOrder.reserve(particles_.size());
    std::size_t dropIndex = 0;
    for (auto particle = particles_.begin(); particle != particles_.end(); ++particle, ++dropIndex) {
        const btVector3 centre =
            particle->settled ? particle->settledCentre : particle->body.transform().getOrigin();
        const double coordinate = reclaimGeometry.coordinate(centre.x(), centre.y(), centre.z());
        reclaimOrder.push_back({std::isfinite(coordinate), coordinate, dropIndex, particle});
    }
    // A particle without a finite coordinate lies nowhere along the pile; it goes first, with the
    // next slice, so that reclaiming always comes to an end.
    std::sort(reclaimOrder.begin(), reclaimOrder.end(), [](const ReclaimEntry& a, const ReclaimEntry& b) {
        if (!a.finite || !b.finite) {
            return !a.finite && b.finite;
        }
        return a.coordinate < b.coordinate;
    });
    reclaimOrderValid = true;
    if (movingParticles_.empty()) {
        dropAllContactPairs(*broadphase_, *dispatcher_);
        // Every record is queued as settled now. Queued in the order the slices take them, the records
        // of each slice leave from the front of the queue instead of from all over it.
        std::lock_guard lock(this->particlesMutex);
        this->settledRecords.clear();
        for (const ReclaimEntry& entry : reclaimOrder) {
            if (entry.particle->viewerRecord) {
                this->settledRecords.push_back(entry.particle->viewerRecord.get());
            }
        }
    }
}

template <class Material>
void KorvexDetailed<Material>::forgetRecords(ReclaimIterator first, ReclaimIterator last) {
    // No viewer may reach a record once its particle is gone.
    std::lock_guard lock(this->particlesMutex);
    auto queued = this->settledRecords.begin();
    bool atFront = true;
    for (auto entry = first; entry != last; ++entry) {
        const Record* record = entry->particle->viewerRecord.get();
        if (record == nullptr) {
            continue;
        }
        if (queued == this->settledRecords.end() || *queued != record) {
            atFront = false;
            break;
        }
        ++queued;
    }
    if (atFront) {
        this->settledRecords.erase(this->settledRecords.begin(), queued);
        return;
    }
    std::vector<Record*> records;
    for (auto entry = first; entry != last; ++entry) {
        if (entry->particle->viewerRecord) {
            records.push_back(entry->particle->viewerRecord.get());
        }
    }
    std::sort(records.begin(), records.end());
    const auto destroyed = [&records](Record* record) { return containsSorted(records, record); };
    std::erase_if(this->settledRecords, destroyed);
    std::erase_if(this->movingRecords, destroyed);
}

template class KorvexDetailed<AveragedParameters>;

}  // namespace korvex
