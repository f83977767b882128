#include "detailed/rigid_body_in_world.h"

namespace korvex {

namespace {

btRigidBody::btRigidBodyConstructionInfo builtOn(btRigidBody::btRigidBodyConstructionInfo info,
                                                 btCollisionShape& shape, btMotionState& motionState) {
    info.m_collisionShape = &shape;
    info.m_motionState = &motionState;
    return info;
}

}  // namespace

RigidBodyInWorld::RigidBodyInWorld(btDynamicsWorld& world, btCollisionShape& shape,
                                   btMotionState& motionState, btRigidBody::btRigidBodyConstructionInfo info)
    : world_(world), body_(builtOn(info, shape, motionState)) {
    world_.addRigidBody(&body_);
    inWorld_ = true;
}

RigidBodyInWorld::~RigidBodyInWorld() { removeFromWorld(); }

btTransform RigidBodyInWorld::transform() const {
    btTransform transform;
    body_.getMotionState()->getWorldTransform(transform);
    return transform;
}

void RigidBodyInWorld::removeFromWorld() {
    if (inWorld_) {
        world_.removeRigidBody(&body_);
        inWorld_ = false;
    }
}

void RigidBodyInWorld::rejoinWorld() {
    if (inWorld_) {
        world_.removeRigidBody(&body_);
        world_.addRigidBody(&body_);
    }
}

}  // namespace korvex
