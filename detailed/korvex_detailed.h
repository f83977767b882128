#pragma once

#include <btBulletDynamicsCommon.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/korvex.h"
#include "core/settings.h"
#include "detailed/drop_randomness.h"
#include "detailed/particle.h"
#include "detailed/pile_world.h"
#include "detailed/reclaim_geometry.h"
#include "detailed/resting_columns.h"
#include "detailed/rigid_body_in_world.h"

namespace korvex {

namespace testing {
struct FreezingInPlace;
struct BuriedByWalk;
}  // namespace testing

/// Whether a moving particle of `age` simulated milliseconds, whose body is in `activationState`, is
/// old enough to be frozen where it lies.
bool settlesByAge(std::uint64_t age, int activationState);

/// How far along z a box thrown as dropParticle throws it (3 m/s, 20 degrees upwards) travels, damped as
/// the world damps it, before it has come down by `fall` metres; a negative fall counts as none.
float throwReach(float fall);

/// The rigid-body stockpile simulator: every particle is a box thrown into a Bullet world, frozen
/// where it comes to rest and entered into the heap map. Owns the physics world, the static ground
/// and every particle with its physics objects.
template <class Material>
class KorvexDetailed : public Korvex<Material> {
public:
    using Record = typename Korvex<Material>::Record;
    using ParticleType = Particle<Material>;

    /// An empty pile on the checked `geometry`. Draws the jitter of its particles from `generator`, which
    /// must outlive it: by default the one the process shares.
    explicit KorvexDetailed(const PileGeometry& geometry,
                            std::mt19937& generator = detail::processDropGenerator());
    /// The pile on `configuration` as checkSettings checks it; throws its SettingsError.
    explicit KorvexDetailed(const KorvexConfiguration& configuration,
                            std::mt19937& generator = detail::processDropGenerator());
    ~KorvexDetailed() override;

    /// Removes every particle, empties both record queues, zeroes the heap map and the clock.
    void clear() override;
    /// Runs simulation steps until no particle moves.
    void finishStacking() override;
    /// True when no particle is left on the pile.
    bool reclaimingFinished() override;
    /// The material volume of the particles on the pile.
    double heldVolume() const override;
    /// A particle with its box, body, motion state, viewer record and material.
    double bytesPerHeldParticle(std::size_t qualities) const override;
    /// The base's reach, or the reclaim coordinate of the farthest particle when that is farther: the
    /// physics may carry a box beyond the bed. Lets the particles settle first.
    double reclaimReach() override;
    /// Takes off the pile every particle whose reclaim coordinate lies below `position`, or is not
    /// finite, and returns their material summed in drop order.
    Material reclaim(float position) override;
    /// Waits in simulated time for the next drop slot, then throws one jittered box onto the pile.
    void dropParticle(float x, float z, const Material& particle) override;

    /// Advances the world by 30 ms, publishes the moving particles, freezes those old enough and
    /// now and then takes buried particles out of the world. Only sleeps while paused.
    void simulateStep();
    /// Refreshes the viewer record of every moving particle and retires the settled ones.
    void publishParticles();
    /// Height of the pile's surface over (x, z): the top of the highest box settled in the heap-map cell
    /// there (the nearest cell for a point off the grid), 0 on bare ground.
    float surfaceHeightAt(float x, float z);
    /// Freezes the particle where it lies and raises the heap map under its centre.
    void settleParticle(ParticleType& particle);
    /// The height of the pile's surface where a particle dropped at (x, z) starts and lands: the highest
    /// heap-map cell within one box size of either point, plus one box size; a point off the grid reads
    /// the grid's nearest edge.
    float surfaceUnderDrop(float x, float z) const;
    /// Makes one particle with its body, puts it into the world and lists it as moving.
    ParticleType& createParticle(const btVector3& position, Material material, const btQuaternion& rotation,
                                 const btVector3& velocity, const btVector3& dimensions);

    /// Smallest box edge, metres: the physics' contact tolerances are a few centimetres.
    static constexpr float minimumParticleSizeM = Limits::minimumBoxSizeM;
    /// Nominal edge length of a particle box and of a heap-map cell, metres.
    float particleSize() const { return particleSize_; }
    /// Simulated milliseconds between two drops: one millisecond per litre of nominal box volume, at
    /// most the age at which every particle is frozen, after which waiting changes nothing.
    std::uint64_t dropInterval() const { return dropInterval_; }
    /// Simulated clock in milliseconds, 30 per step.
    std::uint64_t simulationTime() const { return simulationTime_; }
    /// Simulated time before which dropParticle does not drop.
    std::uint64_t nextDropTime() const { return nextDropTime_; }
    /// Steps since buried particles were last taken out of the world, 0 to 99.
    int stepsSinceBuriedPass() const { return stepsSinceBuriedPass_; }
    const detail::DropDistributions& dropDistributions() const { return dropDistributions_; }
    const btDbvtBroadphase& broadphase() const { return *broadphase_; }
    const PileWorld& dynamicsWorld() const { return *dynamicsWorld_; }
    const RigidBodyInWorld& groundBody() const { return groundBody_; }
    /// Every particle on the pile, in drop order.
    const std::list<ParticleType>& particles() const { return particles_; }
    /// The particles not yet retired as settled, in drop order.
    const std::deque<ParticleType*>& movingParticles() const { return movingParticles_; }
    /// True whenever movingParticles is not empty.
    bool particlesInMotion() const { return particlesInMotion_.load(); }

private:
    /// Held while a simulation step, clear or destruction changes the world, the particle lists,
    /// the clock or the heap map. Taken before particlesMutex.
    std::mutex simulationMutex_;
    /// Nominal edge length of a particle box and of a heap-map cell, metres.
    const float particleSize_;
    const float inverseParticleSize_;
    /// Simulated milliseconds between two drops: one millisecond per litre of nominal box volume, at
    /// most the age at which every particle is frozen, after which waiting changes nothing.
    const std::uint64_t dropInterval_;
    /// Simulated clock in milliseconds, 30 per step.
    std::uint64_t simulationTime_ = 0;
    /// Simulated time before which dropParticle does not drop.
    std::uint64_t nextDropTime_ = 0;
    /// Steps since buried particles were last taken out of the world, 0 to 99: they are looked for on
    /// every 100th step of this simulator.
    int stepsSinceBuriedPass_ = 0;
    std::mt19937& dropGenerator_;
    /// Where a heap-map cell's centre lies, in particle sizes from its index: 0.5 when cells span from
    /// the origin, else 0.
    const float cellCentreOffset_;
    const detail::DropDistributions dropDistributions_;

    // Declared in the order they are built on one another, so that each is released before what it
    // refers to: the world before the solver, broadphase, dispatcher and configuration, every body
    // before the world.
    const std::unique_ptr<btDefaultCollisionConfiguration> collisionConfiguration_;
    const std::unique_ptr<btCollisionDispatcher> dispatcher_;
    const std::unique_ptr<btDbvtBroadphase> broadphase_;
    const std::unique_ptr<btSequentialImpulseConstraintSolver> solver_;
    const std::unique_ptr<PileWorld> dynamicsWorld_;
    /// The static ground, the plane y = 0.
    btStaticPlaneShape groundShape_;
    btDefaultMotionState groundMotionState_;
    RigidBodyInWorld groundBody_;
    /// Every particle on the pile, in drop order.
    std::list<ParticleType> particles_;
    /// The particles not yet retired as settled, in drop order.
    std::deque<ParticleType*> movingParticles_;
    /// True whenever movingParticles is not empty; read by finishStacking without a lock.
    std::atomic<bool> particlesInMotion_{false};

    friend struct testing::EngineAccess;
    friend struct testing::FreezingInPlace;
    friend struct testing::BuriedByWalk;

    using ParticleIterator = typename std::list<ParticleType>::iterator;

    // Once stacking is over no particle moves, so the reclaim coordinates are computed once and kept
    // sorted; every slice then takes a prefix of what is left. Any step or drop invalidates them.
    struct ReclaimEntry {
        bool finite;
        double coordinate;
        std::size_t dropIndex;
        ParticleIterator particle;
    };

    using ReclaimIterator = typename std::vector<ReclaimEntry>::const_iterator;

    void buildReclaimOrder();
    /// The heap-map cell the buried-particle pass files a settled particle under, if its centre lies over
    /// the grid.
    std::optional<std::size_t> restingCell(const ParticleType& particle) const;
    void takeOutBuriedParticles();
    /// Takes the records of the particles of [first, last) out of both queues.
    void forgetRecords(ReclaimIterator first, ReclaimIterator last);

    // A body frozen by mass 0 alone would keep its place among the moving bodies of the broadphase,
    // its pairs and contacts with its frozen neighbours, and would be walked by every substep; the
    // world learns that it is static only when it takes the body in anew. Only a comparison of the
    // two ways of freezing turns this off.
    bool frozenBodiesRejoinAsStatic = true;
    const ReclaimGeometry reclaimGeometry;
    // The buried-particle pass looks at the cells of the pile; only a comparison with a walk over every
    // particle, which takes out the same particles in the same order, turns this on.
    bool buriedFoundByWalk = false;
    /// The settled particles still in the world, by the cell the buried-particle pass looks them up in.
    RestingColumns<ParticleType> restingColumns;
    /// Scratch lists of each step, kept so that a step allocates nothing.
    std::vector<ParticleType*> buriedScratch;
    std::vector<Record*> retiredScratch;
    std::vector<ReclaimEntry> reclaimOrder;
    std::size_t reclaimedEntries = 0;
    bool reclaimOrderValid = false;
};

extern template class KorvexDetailed<AveragedParameters>;

}  // namespace korvex
