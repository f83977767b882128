#pragma once

#include "detailed/korvex_detailed.h"

namespace korvex::testing {

/// Makes a simulator keep Bullet's own bookkeeping: settled particles frozen by mass 0 alone, their bodies
/// left where the world filed them as moving ones; every object's bounding box refreshed, and every object
/// visited for islands, on every substep; and a hundredth of the resting bodies' tree rebalanced per
/// substep, Bullet's default. Only for measuring what that bookkeeping costs and showing that piles come
/// out alike without it; call it before anything is stacked.
struct FreezingInPlace {
    template <class Material>
    static void use(KorvexDetailed<Material>& simulator) {
        simulator.frozenBodiesRejoinAsStatic = false;
        simulator.dynamicsWorld_->setForceUpdateAllAabbs(true);
        simulator.dynamicsWorld_->setWalksEveryObject(true);
        simulator.broadphase_->m_fupdates = 1;
    }
};

}  // namespace korvex::testing
