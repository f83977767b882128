#pragma once

namespace korvex::detail {

/// Counts one simulation step of any detailed simulator in the process, modulo 100, and returns
/// true on every 100th: the steps on which buried particles leave the physics world.
bool countStepForBuriedPass();

/// Steps counted since the last buried-particle pass, 0 to 99.
int stepsSinceBuriedPass();

}  // namespace korvex::detail
