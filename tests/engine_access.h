#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "core/korvex.h"
#include "core/pile_engine.h"

namespace korvex {
template <class Material>
class KorvexDetailed;
class DetailedPileEngine;
class FastPileEngine;
}  // namespace korvex

namespace korvex::testing {

/// The adapter a pile puts a particle engine behind.
template <class Engine>
using AdapterOf = std::conditional_t<std::is_same_v<Engine, KorvexDetailed<AveragedParameters>>,
                                     DetailedPileEngine, FastPileEngine>;

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

    /// The count of quality values the first material fixed, to make a state no stacking leaves.
    template <class Material>
    static auto& parameterCount(Korvex<Material>& simulator) {
        return simulator.parameterCount;
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

    /// Lays a segment of `row` (volume, delivery sum, quality sums) straight onto a layered engine's column,
    /// to build a bed of known layers.
    template <class Layered>
    static void layOn(Layered& engine, std::size_t cell, double thickness_m, std::span<const double> row) {
        engine.stride = row.size();
        engine.layOnCell(cell, thickness_m, row);
    }

    /// The engine behind a Pile, for a test that lays out its state or a benchmark that times its steps:
    /// the layered engine itself, or the particle engine behind its adapter. Throws std::bad_cast when the
    /// pile runs another engine. A particle engine's caller includes pile/particle_engines.h.
    template <class Engine, class Pile>
    static Engine& engineOf(Pile& pile) {
        if constexpr (std::is_base_of_v<PileEngine, Engine>) {
            return dynamic_cast<Engine&>(*pile.engine_);
        } else {
            return dynamic_cast<AdapterOf<Engine>&>(*pile.engine_).engine();
        }
    }
};

}  // namespace korvex::testing
