#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace korvex {

/// Where one small delivery comes to rest on a surface whose slopes are at most the critical slope k
/// (the quasi-static limit of the critical-slope model of a growing pile): the new surface is
/// u = max(h, L - k d), d the distance from the stream's footprint, over the cells joined to the source
/// through cells the cone stands above, and the level L is fixed exactly by the delivery's volume. Cells
/// lie on a width x depth grid of square cells; the grid's edges are walls.
///
/// Holds only scratch space that is reused from one delivery to the next, none of a pile's state.
class CriticalSlopeFill {
public:
    /// One cell the delivery reaches: its index (row * width + column) and the thickness laid on it.
    using Layer = std::pair<std::uint32_t, double>;

    /// The cells that `volume_m3` dropped at (x_m, z_m) reaches on the surface `height_m` (row-major,
    /// `width` cells a row, cell i spanning i to i + 1 edges from the origin) and the thickness each
    /// receives; the thicknesses times the cell area sum to the volume. A source off the grid drops at the
    /// nearest point on it. `footprintRadius_m` is the radius of the disc the stream lands on.
    const std::vector<Layer>& fill(std::span<const double> height_m, std::uint32_t width, std::uint32_t depth,
                                   double cell_m, double slope, double footprintRadius_m, double x_m, double z_m,
                                   double volume_m3);

private:
    struct Candidate {
        /// Lowest level at which the cone joins the cell to the source: the highest key on the best path.
        double joinLevel;
        std::uint32_t cell;
        bool operator>(const Candidate& other) const {
            // Ties go to the lower index, so that the order, and with it every result, is fixed.
            return joinLevel > other.joinLevel || (joinLevel == other.joinLevel && cell > other.cell);
        }
    };

    /// What the sweep knows of one cell; the generation fields say in which delivery each part was last
    /// set, so that nothing needs clearing between deliveries. Kept together, so that a cell's visit reads
    /// one place in memory.
    struct CellState {
        double key = 0.0;
        double bestJoinLevel = 0.0;
        std::uint32_t keyedIn = 0;
        std::uint32_t offeredIn = 0;
        std::uint32_t joinedIn = 0;
    };

    void resize(std::size_t cells);

public:
    /// Scratch bytes a fill may keep per cell of the grid: its state, its entry in the cells reached, and
    /// room for the candidates offered it, a few at most, with a vector's spare room.
    static constexpr std::size_t scratchBytesPerCell = sizeof(CellState) + sizeof(Layer) + 2 * sizeof(Candidate);

private:

    std::vector<Candidate> frontier;
    std::vector<Layer> reached;
    std::vector<CellState> cells;
    std::uint32_t generation = 0;
};

}  // namespace korvex
