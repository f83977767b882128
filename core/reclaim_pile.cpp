#include "core/reclaim_pile.h"

#include <algorithm>
#include <format>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvex {

void checkReclaimReach(double reach, float increment) {
    const auto farthest = static_cast<float>(reach);
    if (!(farthest + increment != farthest)) {
        throw std::invalid_argument(
            std::format("reclaimIncrement {:g} m is too small to reach material {:g} m along "
                        "the pile: the reclaim position would stop growing; nothing was "
                        "reclaimed",
                        increment, farthest));
    }
}

void checkReclaimPositionGrows(float position, float next) {
    if (next == position) {
        throw std::runtime_error("the reclaim position stopped growing at " + std::to_string(position) +
                                 " m: the reclaim step is too small");
    }
}

void addPendingRemainder(std::vector<ReclaimedSlice>& slices, AveragedParameters remainder) {
    // The remainder was never dropped; it goes with the last slice that holds material, so that all the
    // volume stacked comes out again without making an empty slice at the far end look full.
    if (!(remainder.volume > 0.0)) {
        return;
    }
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

}  // namespace korvex
