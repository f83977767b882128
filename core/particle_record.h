#pragma once

#include <array>

namespace korvex {

/// One particle's state as published to an outside viewer.
template <class Material>
struct ParticleRecord {
    Material material;
    bool settled = false;
    std::array<double, 3> position{};     ///< centre x, y, z
    std::array<double, 3> dimensions{};   ///< edge lengths along the box's x, y, z
    std::array<double, 4> orientation{};  ///< quaternion w, x, y, z
};

}  // namespace korvex
