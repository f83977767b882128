#pragma once

#include <btBulletDynamicsCommon.h>

#include <span>
#include <vector>

#include "core/averaged_parameters.h"
#include "detailed/korvex_detailed.h"
#include "detailed/reclaim_geometry.h"

namespace korvex::testing {

/// The slices of reclaiming `simulator`'s pile at `positions` in turn by walking, for every slice, all
/// the particles still on the pile in drop order: each one's centre is read from its motion state,
/// its coordinate computed, and it is taken when that lies below the position. The pile itself is left
/// as it is. What the engine must return for piles whose coordinates are all finite.
template <class Material>
std::vector<Material> slicesByWalkingThePile(const KorvexDetailed<Material>& simulator,
                                             std::span<const float> positions) {
    const ReclaimGeometry geometry(simulator.settings());
    std::vector<const typename KorvexDetailed<Material>::ParticleType*> remaining;
    remaining.reserve(simulator.particles().size());
    for (const auto& particle : simulator.particles()) {
        remaining.push_back(&particle);
    }
    std::vector<Material> slices;
    slices.reserve(positions.size());
    for (const float position : positions) {
        Material slice;
        std::erase_if(remaining, [&](const auto* particle) {
            const btVector3 centre = particle->body.transform().getOrigin();
            const bool taken = geometry.coordinate(centre.x(), centre.y(), centre.z()) < position;
            if (taken) {
                slice.add(particle->material);
            }
            return taken;
        });
        slices.push_back(std::move(slice));
    }
    return slices;
}

}  // namespace korvex::testing
