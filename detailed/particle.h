#pragma once

#include <btBulletDynamicsCommon.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "core/particle_record.h"
#include "detailed/rigid_body_in_world.h"

namespace korvex {

/// One particle of the detailed simulator: a box of material carried by a rigid body. Holds the box
/// shape, the motion state and the body in itself, and owns the record it publishes for an outside
/// viewer.
template <class Material>
struct Particle {
    /// Builds the particle's box and motion state, starting at `start`, and its body from `info` on
    /// them, and puts the body into `world`.
    Particle(btDynamicsWorld& world, const btVector3& dimensions, std::uint64_t dropTime, Material material,
             const btTransform& start, const btRigidBody::btRigidBodyConstructionInfo& info)
        : dimensions(dimensions),
          dropTime(dropTime),
          material(std::move(material)),
          shape(dimensions * 0.5f),
          motionState(start),
          body(world, shape, motionState, info) {}

    Particle(const Particle&) = delete;
    Particle& operator=(const Particle&) = delete;

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
    /// Particles dropped onto the pile before this one.
    std::uint64_t dropIndex = 0;
    Material material;
    /// Null until the first publishing pass that sees the particle; queued by address only.
    std::unique_ptr<ParticleRecord<Material>> viewerRecord;
    btBoxShape shape;
    btDefaultMotionState motionState;
    /// Declared after what it is built on, so that it leaves the world and goes first.
    RigidBodyInWorld body;
};

}  // namespace korvex
