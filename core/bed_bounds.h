#pragma once

#include "core/averaged_parameters.h"
#include "core/configuration.h"

namespace korvex {

/// Highest a pile can be stacked, metres: no bed holds more than its area times this.
inline constexpr double highestPileM = 1000.0;

/// Most volume a bed of `configuration` can hold, cubic metres: its area times highestPileM.
double bedCapacity_m3(const KorvexConfiguration& configuration);

/// How far along the reclaim direction, metres, a reclaimer on a bed of `configuration` may have to go
/// before it has taken everything: twice the sum of its length and depth.
double bedReclaimReach_m(const KorvexConfiguration& configuration);

/// Largest magnitude of a quality value a bed of `capacity_m3` takes: a full bed of it still sums to a
/// finite number, with room to spare for rounding.
double qualityLimitFor(double capacity_m3);

/// Throws std::invalid_argument for a position that is not finite, a volume that is negative or not
/// finite, or a sum that is not finite.
void checkChunkValues(float x, float z, const AveragedParameters& material);

/// Throws std::invalid_argument when `volume_m3` more, with the `held_m3` a bed holds already, would exceed
/// its `capacity_m3`. A NaN volume is refused too.
void checkBedRoom(double held_m3, double volume_m3, double capacity_m3);

/// Throws std::invalid_argument naming the first quality value of `material` whose magnitude is beyond
/// `limit`.
void checkQualityMagnitudes(const AveragedParameters& material, double limit);

}  // namespace korvex
