#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/configuration.h"
#include "core/korvex.h"

namespace korvex::scenes {

/// A straight bed stacked by a stacker that runs end to end along the bed's centre line, turning at each
/// end, at a steady feed of one particle at a time.
struct StackerScene {
    std::uint32_t columns;  ///< the bed's length in metres: cells along x at one particle per cubic metre
    std::uint32_t rows;     ///< the bed's depth in metres: cells across at one particle per cubic metre
    std::size_t particles;
    std::size_t passes;  ///< end-to-end runs of the stacker, one layer each
    float eightNeighbourProbability;
    float reclaimAngle;
    float particlesPerCubicMeter = 1.0f;
};

/// A real bed: 600 x 100 m, a million cubic metres in 200 layers.
inline constexpr StackerScene fullBed{600, 100, 1'000'000, 200, 0.5f, 45.0f};
/// The same stacking on a bed small enough for a unit test.
inline constexpr StackerScene tinyBed{30, 10, 2'000, 10, 0.5f, 45.0f};
/// The package's demo at the resolution of studies: 120,000 m3 in a Chevron of 100 layers on a 300 x 50 m
/// bed, 27 particles per cubic metre (cells of a third of a metre, 900 x 150 of them).
inline constexpr StackerScene demoBed{300, 50, 3'240'000, 100, 0.5f, 45.0f, 27.0f};
/// The same stacking on a bed small enough to stack many times in a unit test: cells of half a metre.
inline constexpr StackerScene tinyDemoBed{40, 10, 8'000, 10, 0.5f, 45.0f, 8.0f};

KorvexConfiguration configurationOf(const StackerScene& scene);

/// Where the stacker drops a particle, in metres.
struct Drop {
    float x;
    float z;
};

/// Every particle's drop position in stacking order: evenly spaced along each pass, each pass running the
/// other way from the one before, all on the centre line.
std::vector<Drop> dropsOf(const StackerScene& scene);

/// A table of chunks laid out as NumPy lays out a C-ordered two-dimensional array of doubles.
struct ChunkRows {
    std::vector<std::string> names;
    std::size_t rows = 0;
    std::vector<double> cells;  ///< row after row

    TableView view() const;
};

/// The scene as the Python module's stack_list takes it: one row per particle, with the columns timestamp,
/// x, z, volume (one particle's) and one quality value that drifts over the stacking time.
ChunkRows chunkRowsOf(const StackerScene& scene);

/// Stacks every row of `rows` straight through the simulator's stack call, one chunk per row, refilling one
/// record as the table reader does: the least a caller can do to stack the same chunks without a table.
template <class Stacker>
void stackRowByRow(Stacker& simulator, const ChunkRows& rows) {
    const std::size_t width = rows.names.size();
    AveragedParameters chunk(0.0, std::vector<double>(width - 4));
    for (std::size_t row = 0; row < rows.rows; ++row) {
        const double* cells = &rows.cells[row * width];
        chunk.volume = cells[3];
        for (std::size_t k = 0; k < chunk.sums.size(); ++k) {
            chunk.sums[k] = cells[3] * cells[4 + k] + 0.0;
        }
        simulator.stack(static_cast<float>(cells[1]), static_cast<float>(cells[2]), chunk);
    }
}

}  // namespace korvex::scenes
