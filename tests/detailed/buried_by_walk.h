#pragma once

#include "detailed/korvex_detailed.h"

namespace korvex::testing {

/// Makes a simulator find buried particles by walking every particle on the pile, as before they were filed
/// by cell. Only for showing that both ways take out the same particles and measuring what the walk costs;
/// call it before anything is stacked.
struct BuriedByWalk {
    template <class Material>
    static void use(KorvexDetailed<Material>& simulator) {
        simulator.buriedFoundByWalk = true;
    }
};

}  // namespace korvex::testing
