#pragma once

#include <vector>

#include "core/averaged_parameters.h"

namespace korvex {

/// Material cut by the reclaimer and how long it lay on the pile.
struct RingCut {
    AveragedParameters material;
    /// Sum over the cut particles of volume x (time cut - time stacked), m3 s.
    double residenceVolumeSeconds = 0.0;
};

/// One slice of the output: the reclaimer's foot reached `position_m` at `time_s`, taking `cut` since
/// the previous slice.
struct RingSlice {
    double time_s;
    double position_m;
    RingCut cut;
};

/// Where the reclaimer stands over time: positions (metres on the centre line) at times (seconds), both
/// non-decreasing, linear in between.
struct ReclaimerSchedule {
    std::vector<double> time_s;
    std::vector<double> position_m;
};

}  // namespace korvex
