#pragma once

#include <btBulletDynamicsCommon.h>

#include <memory>

namespace korvex {

/// A rigid body together with the shape and motion state it was built on, and its place in a
/// dynamics world. The body leaves the world before it is deleted and is deleted before its motion
/// state and shape. The world must outlive this object.
class RigidBodyInWorld {
public:
    /// Builds the body from `info`, whose shape and motion state are taken to be `shape` and
    /// `motionState`, and adds it to `world`.
    RigidBodyInWorld(btDynamicsWorld& world, std::unique_ptr<btCollisionShape> shape,
                     std::unique_ptr<btMotionState> motionState,
                     btRigidBody::btRigidBodyConstructionInfo info);
    ~RigidBodyInWorld();

    RigidBodyInWorld(const RigidBodyInWorld&) = delete;
    RigidBodyInWorld& operator=(const RigidBodyInWorld&) = delete;

    btRigidBody& body() { return *body_; }
    const btRigidBody& body() const { return *body_; }
    btCollisionShape& shape() { return *shape_; }
    btMotionState& motionState() { return *motionState_; }

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
    std::unique_ptr<btCollisionShape> shape_;
    std::unique_ptr<btMotionState> motionState_;
    std::unique_ptr<btRigidBody> body_;
    bool inWorld_ = false;
};

}  // namespace korvex
