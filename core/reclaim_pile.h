#pragma once

#include <vector>

#include "core/averaged_parameters.h"

namespace korvex {

/// One reclaimed slice: the reclaim position it was taken at and its material.
struct ReclaimedSlice {
    float position;
    AveragedParameters material;
};

/// Throws reclaimPile's std::invalid_argument when a reclaim position would stop growing by `increment`
/// before `reach`, how far the reclaimer may have to go.
void checkReclaimReach(double reach, float increment);

/// Throws reclaimPile's std::runtime_error when `next`, a reclaim position plus the step, is `position`.
void checkReclaimPositionGrows(float position, float next);

/// Adds `remainder`, material stacked but never placed, to the last slice that holds material (the last
/// slice when none does), or appends it as the one slice at 0 when there is no slice.
void addPendingRemainder(std::vector<ReclaimedSlice>& slices, AveragedParameters remainder);

/// Finishes stacking, then reclaims at positions 0, increment, 2 increment, ... (summed in single precision)
/// until `bed` reports it has finished, and adds what a particle engine still has pending (less than one
/// particle) as addPendingRemainder does. Throws std::invalid_argument, before anything is taken, when the
/// position would stop growing before the bed's reclaimReach(), and std::runtime_error should it stop
/// growing all the same. `Bed` is a particle engine (Korvex) or the layered engine, which lays every chunk
/// whole and so keeps nothing pending.
template <class Bed>
std::vector<ReclaimedSlice> reclaimPile(Bed& bed, float increment) {
    bed.finishStacking();
    // Checked before anything is taken, against where material actually lies, so that a reclaim that
    // cannot get to the end of the pile fails without changing it.
    checkReclaimReach(bed.reclaimReach(), increment);
    std::vector<ReclaimedSlice> slices;
    float position = 0.0f;
    while (!bed.reclaimingFinished()) {
        slices.push_back({position, bed.reclaim(position)});
        const float next = position + increment;
        checkReclaimPositionGrows(position, next);
        position = next;
    }
    if constexpr (requires { bed.takePendingMaterial(); }) {
        addPendingRemainder(slices, bed.takePendingMaterial());
    }
    return slices;
}

}  // namespace korvex
