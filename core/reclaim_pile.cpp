#include "core/reclaim_pile.h"

#include <algorithm>
#include <cmath>
#include <format>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/korvex.h"

namespace korvex {

void checkReclaimReach(Korvex<AveragedParameters>& simulator, float increment) {
    const auto reach = static_cast<float>(simulator.reclaimReach());
    if (!(reach + increment != reach)) {
        throw std::invalid_argument(
            std::format("reclaimIncrement {:g} m is too small to reach material {:g} m along "
                        "the pile: the reclaim position would stop growing; nothing was "
                        "reclaimed",
                        increment, reach));
    }
}

void checkReclaimPositionGrows(float position, float next) {
    if (next == position) {
        throw std::runtime_error("the reclaim position stopped growing at " + std::to_string(position) +
                                 " m: the reclaim step is too small");
    }
}

std::vector<ReclaimedSlice> reclaimPile(Korvex<AveragedParameters>& simulator, float increment) {
    simulator.finishStacking();
    // Checked before anything is taken, against where material actually lies, so that a reclaim that
    // cannot get to the end of the pile fails without changing it.
    checkReclaimReach(simulator, increment);
    std::vector<ReclaimedSlice> slices;
    float position = 0.0f;
    while (!simulator.reclaimingFinished()) {
        slices.push_back({position, simulator.reclaim(position)});
        const float next = position + increment;
        checkReclaimPositionGrows(position, next);
        position = next;
    }
    // What is still pending is less than one particle and was never dropped; it is reclaimed with the
    // last slice that holds material, so that all the volume stacked comes out again without making an
    // empty slice at the far end look full.
    AveragedParameters remainder = simulator.takePendingMaterial();
    if (remainder.volume > 0.0) {
        const auto last = std::find_if(slices.rbegin(), slices.rend(), [](const ReclaimedSlice& slice) {
            return slice.material.volume > AveragedParameters::zeroVolume;
        });
        if (last != slices.rend()) {
            last->material.add(remainder);
        } else if (!slices.empty()) {
            slices.back().material.add(remainder);
        } else {
            slices.push_back({0.0f, std::move(remainder)});
        }
    }
    return slices;
}

}  // namespace korvex
