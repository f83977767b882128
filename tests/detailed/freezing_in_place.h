#pragma once

#include "detailed/korvex_detailed.h"

namespace korvex::testing {

/// Makes a simulator freeze its settled particles by mass 0 alone, leaving their bodies where the world
/// filed them as moving ones, and refresh every bounding box on every substep: the bookkeeping the
/// engine avoids. Only for measuring what that bookkeeping costs and showing that the piles come out
/// alike; call it before anything is stacked.
struct FreezingInPlace {
    template <class Material>
    static void use(KorvexDetailed<Material>& simulator) {
        simulator.frozenBodiesRejoinAsStatic = false;
        simulator.dynamicsWorld->setForceUpdateAllAabbs(true);
        simulator.dynamicsWorld->setWalksEveryObject(true);
        simulator.broadphase->m_fupdates =
            1;  // Bullet's own share of the resting tree rebalanced per substep
    }
};

}  // namespace korvex::testing
