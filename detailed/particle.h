#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "core/particle_record.h"
#include "detailed/rigid_body_in_world.h"

namespace korvex {

/// One particle of the detailed simulator: a box of material carried by a rigid body. Owns the body
/// with its shape and motion state, and the record it publishes for an outside viewer.
template <class Material>
struct Particle {
    /// Builds the particle's body from `info` and puts it into `world`.
    Particle(btDynamicsWorld& world, const btVector3& dimensions, std::uint64_t dropTime, Material material,
             std::unique_ptr<btCollisionShape> shape, std::unique_ptr<btMotionState> motionState,
             const btRigidBody::btRigidBodyConstructionInfo& info)
        : dimensions(dimensions),
          dropTime(dropTime),
          material(std::move(material)),
          body(world, std::move(shape), std::move(motionState), info) {}

    /// False once the body has left the physics world because it lies buried.
    bool inWorld() const { return body.inWorld(); }

    /// Edge lengths of the box along its own x, y and z axes, metres.
    btVector3 dimensions;
    /// Set once the particle has been frozen into the pile.
    bool settled = false;
    /// The centre its motion state reported as it was frozen, and keeps reporting: a frozen body never
    /// moves again. Read where the whole pile is walked, without a call into the motion state.
    btVector3 settledCentre{0.0f, 0.0f, 0.0f};
    /// Simulated time in milliseconds at which the particle was created.
    std::uint64_t dropTime;
    Material material;
    /// Null until the first publishing pass that sees the particle; queued by address only.
    std::unique_ptr<ParticleRecord<Material>> viewerRecord;
    RigidBodyInWorld body;
};

}  // namespace korvex
