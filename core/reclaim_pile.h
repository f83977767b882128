#pragma once

#include <vector>

#include "core/korvex.h"

namespace korvex {

/// One reclaimed slice: the reclaim position it was taken at and its material.
struct ReclaimedSlice {
    float position;
    AveragedParameters material;
};

/// Throws std::invalid_argument unless `increment` is positive, finite and
/// large enough that a single-precision reclaim position keeps growing over
/// the whole extent of the pile.
void validateReclaimIncrement(float increment, const KorvexConfiguration& configuration);

/// Finishes stacking, then reclaims at positions 0, increment, 2 increment, ...
/// (summed in single precision) until the simulator reports it has finished.
/// Throws std::runtime_error should the position stop growing.
std::vector<ReclaimedSlice> reclaimPile(Korvex<AveragedParameters>& simulator, float increment);

}  // namespace korvex
