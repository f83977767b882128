#include "detailed/rigid_body_in_world.h"

#include <utility>

namespace korvex {

RigidBodyInWorld::RigidBodyInWorld(btDynamicsWorld& world, std::unique_ptr<btCollisionShape> shape,
                                   std::unique_ptr<btMotionState> motionState,
                                   btRigidBody::btRigidBodyConstructionInfo info)
    : world_(world), shape_(std::move(shape)), motionState_(std::move(motionState)) {
    info.m_collisionShape = shape_.get();
    info.m_motionState = motionState_.get();
    body_ = std::make_unique<btRigidBody>(info);
    world_.addRigidBody(body_.get());
    inWorld_ = true;
}

RigidBodyInWorld::~RigidBodyInWorld() { removeFromWorld(); }

btTransform RigidBodyInWorld::transform() const {
    btTransform transform;
    motionState_->getWorldTransform(transform);
    return transform;
}

void RigidBodyInWorld::removeFromWorld() {
    if (inWorld_) {
        world_.removeRigidBody(body_.get());
        inWorld_ = false;
    }
}

void RigidBodyInWorld::rejoinWorld() {
    if (inWorld_) {
        world_.removeRigidBody(body_.get());
        world_.addRigidBody(body_.get());
    }
}

}  // namespace korvex
