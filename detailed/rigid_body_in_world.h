#pragma once

#include <btBulletDynamicsCommon.h>

namespace korvex {

/// A rigid body and its place in a dynamics world. The body leaves the world before it is destroyed. The
/// shape and motion state it is built on, and the world, must outlive it; an owner that holds all three
/// declares this object after the shape and the motion state.
class RigidBodyInWorld {
public:
    /// Builds the body from `info` on `shape` and `motionState` and adds it to `world`.
    RigidBodyInWorld(btDynamicsWorld& world, btCollisionShape& shape, btMotionState& motionState,
                     btRigidBody::btRigidBodyConstructionInfo info);
    ~RigidBodyInWorld();

    RigidBodyInWorld(const RigidBodyInWorld&) = delete;
    RigidBodyInWorld& operator=(const RigidBodyInWorld&) = delete;

    btRigidBody& body() { return body_; }
    const btRigidBody& body() const { return body_; }
    btMotionState& motionState() { return *body_.getMotionState(); }

    /// The centre-of-mass transform as the motion state reports it.
    btTransform transform() const;

    /// False once the body has been taken out of the world.
    bool inWorld() const { return inWorld_; }
    /// Takes the body out of the world for good; the body itself stays alive.
    void removeFromWorld();
    /// Takes the body out of the world and adds it again, so that the world files it by its mass as
    /// it is now: a body of mass 0 comes back as a sleeping static object, with its contacts dropped.
    /// Does nothing once the body has left the world.
    void rejoinWorld();

private:
    btDynamicsWorld& world_;
    btRigidBody body_;
    bool inWorld_ = false;
};

}  // namespace korvex
