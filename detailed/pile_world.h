#pragma once

#include <btBulletDynamicsCommon.h>

namespace korvex {

/// A dynamics world for a pile: many resting bodies that never move again, a few moving ones. Bullet's
/// own world walks every object on every substep to refresh bounding boxes, number simulation islands
/// and look for kinematic bodies; this one walks only the bodies that can move, so that a static object
/// costs a substep nothing unless something touches it. What those walks would write into a static
/// object (no island, no solver body) it writes once, as the object joins the world.
class PileWorld : public btDiscreteDynamicsWorld {
public:
    PileWorld(btDispatcher* dispatcher, btBroadphaseInterface* broadphase, btConstraintSolver* solver,
              btCollisionConfiguration* collisionConfiguration);

    PileWorld(const PileWorld&) = delete;
    PileWorld& operator=(const PileWorld&) = delete;

    void addCollisionObject(btCollisionObject* object, int collisionFilterGroup,
                            int collisionFilterMask) override;
    void updateAabbs() override;

    /// Whether the per-substep walks visit every object, as in Bullet's own world, instead of only the
    /// bodies that can move. Off unless a comparison with Bullet's bookkeeping turns it on.
    bool walksEveryObject() const { return walksEveryObject_; }
    void setWalksEveryObject(bool walksEveryObject) { walksEveryObject_ = walksEveryObject; }

protected:
    void saveKinematicState(btScalar timeStep) override;

private:
    bool walksEveryObject_ = false;
};

}  // namespace korvex
