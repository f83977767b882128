#pragma once

#include <vector>

#include "core/averaged_parameters.h"

namespace korvex {

template <class Material>
class Korvex;

/// One reclaimed slice: the reclaim position it was taken at and its material.
struct ReclaimedSlice {
    float position;
    AveragedParameters material;
};

/// Finishes stacking, then reclaims at positions 0, increment, 2 increment, ...
/// (summed in single precision) until the simulator reports it has finished,
/// and adds the pending remainder (less than one particle) to the last slice,
/// or returns it as the one slice at 0 when there is no other. Throws
/// std::invalid_argument, before anything is taken, when the position would
/// stop growing before the simulator's reclaimReach(), and std::runtime_error
/// should it stop growing all the same.
std::vector<ReclaimedSlice> reclaimPile(Korvex<AveragedParameters>& simulator, float increment);

/// Throws reclaimPile's std::invalid_argument when a reclaim position would stop growing by `increment`
/// before the simulator's reclaimReach().
void checkReclaimReach(Korvex<AveragedParameters>& simulator, float increment);

/// Throws reclaimPile's std::runtime_error when `next`, a reclaim position plus the step, is `position`.
void checkReclaimPositionGrows(float position, float next);

}  // namespace korvex
