#pragma once

#include <cstdint>

#include "core/korvex.h"

namespace korvex::testing {

/// The one door the tests have into an engine's state beyond its public interface: heap-map cells, to lay
/// out a surface, and the pending material, to set up a remainder.
struct EngineAccess {
    template <class Material>
    static float& height(Korvex<Material>& simulator, std::uint32_t i, std::uint32_t j) {
        return simulator.heightCell(i, j);
    }

    template <class Material>
    static Material& pending(Korvex<Material>& simulator) {
        return simulator.pendingMaterial;
    }

    /// A fast engine's or a ring's cube counts, to lay out a surface.
    template <class Grid>
    static auto& columnCounts(Grid& engine) {
        return engine.columnCounts_;
    }

    /// A fast engine's reclaim slices, to fill them directly.
    template <class Fast>
    static auto& slices(Fast& engine) {
        return engine.slices_;
    }

    /// The detailed engine's broadphase, whose pair cache Bullet only lets a writer read.
    template <class Detailed>
    static auto& broadphaseOf(Detailed& engine) {
        return *engine.broadphase_;
    }

    /// The engine behind a Pile, for a benchmark that times its steps.
    template <class Pile>
    static auto& engineOf(Pile& pile) {
        return *pile.simulator_;
    }
};

}  // namespace korvex::testing
