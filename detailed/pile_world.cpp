#include "detailed/pile_world.h"

#include <BulletCollision/CollisionDispatch/btSimulationIslandManager.h>

#include <new>

namespace korvex {

namespace {

// Numbers the islands of the bodies that can move. Bullet's own manager walks the whole world twice per
// substep only to give every static object the island -1 and the solver body -2 again, which
// PileWorld::addCollisionObject gives them once.
class MovingBodyIslands : public btSimulationIslandManager {
public:
    explicit MovingBodyIslands(const PileWorld& world) : world_(world) {}

    void updateActivationState(btCollisionWorld* collisionWorld, btDispatcher* dispatcher) override {
        if (world_.walksEveryObject()) {
            btSimulationIslandManager::updateActivationState(collisionWorld, dispatcher);
            return;
        }
        const btAlignedObjectArray<btRigidBody*>& bodies = world_.getNonStaticRigidBodies();
        int index = 0;
        for (int k = 0; k < bodies.size(); ++k) {
            btRigidBody* body = bodies[k];
            if (!body->isStaticOrKinematicObject()) {
                body->setIslandTag(index++);
            }
            body->setCompanionId(-1);
            body->setHitFraction(1.0f);
        }
        initUnionFind(index);
        findUnions(dispatcher, collisionWorld);
    }

    void storeIslandActivationState(btCollisionWorld* collisionWorld) override {
        if (world_.walksEveryObject()) {
            btSimulationIslandManager::storeIslandActivationState(collisionWorld);
            return;
        }
        const btAlignedObjectArray<btRigidBody*>& bodies = world_.getNonStaticRigidBodies();
        int index = 0;
        for (int k = 0; k < bodies.size(); ++k) {
            btRigidBody* body = bodies[k];
            if (!body->isStaticOrKinematicObject()) {
                body->setIslandTag(getUnionFind().find(index));
                // Islands find their bodies by their place in the world's object array.
                getUnionFind().getElement(index).m_sz = body->getWorldArrayIndex();
                body->setCompanionId(-1);
                ++index;
            } else {
                body->setIslandTag(-1);
                body->setCompanionId(-2);
            }
        }
    }

private:
    const PileWorld& world_;
};

}  // namespace

PileWorld::PileWorld(btDispatcher* dispatcher, btBroadphaseInterface* broadphase, btConstraintSolver* solver,
                     btCollisionConfiguration* collisionConfiguration)
    : btDiscreteDynamicsWorld(dispatcher, broadphase, solver, collisionConfiguration) {
    // The base made its own manager and releases whichever it owns the same way.
    m_islandManager->~btSimulationIslandManager();
    btAlignedFree(m_islandManager);
    m_islandManager = nullptr;
    void* memory = btAlignedAlloc(sizeof(MovingBodyIslands), 16);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    m_islandManager = new (memory) MovingBodyIslands(*this);
}

void PileWorld::addCollisionObject(btCollisionObject* object, int collisionFilterGroup,
                                   int collisionFilterMask) {
    btDiscreteDynamicsWorld::addCollisionObject(object, collisionFilterGroup, collisionFilterMask);
    if (object->isStaticOrKinematicObject()) {
        // A body that was moving still carries its last island and must not lend it to its contacts.
        object->setIslandTag(-1);
        object->setCompanionId(-2);
    }
}

void PileWorld::updateAabbs() {
    if (walksEveryObject_) {
        btDiscreteDynamicsWorld::updateAabbs();
        return;
    }
    BT_PROFILE("updateAabbs");
    for (int k = 0; k < m_nonStaticRigidBodies.size(); ++k) {
        btRigidBody* body = m_nonStaticRigidBodies[k];
        if (m_forceUpdateAllAabbs || body->isActive()) {
            updateSingleAabb(body);
        }
    }
}

void PileWorld::saveKinematicState(btScalar timeStep) {
    if (walksEveryObject_) {
        btDiscreteDynamicsWorld::saveKinematicState(timeStep);
        return;
    }
    for (int k = 0; k < m_nonStaticRigidBodies.size(); ++k) {
        btRigidBody* body = m_nonStaticRigidBodies[k];
        if (body->getActivationState() != ISLAND_SLEEPING && body->isKinematicObject()) {
            body->saveKinematicState(timeStep);
        }
    }
}

}  // namespace korvex
