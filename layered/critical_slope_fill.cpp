#include "layered/critical_slope_fill.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace korvex {

void CriticalSlopeFill::resize(std::size_t count) {
    if (cells.size() != count || generation == UINT32_MAX) {
        cells.assign(count, CellState{});
        generation = 0;
    }
    ++generation;
}

const std::vector<CriticalSlopeFill::Layer>& CriticalSlopeFill::fill(std::span<const double> height_m,
                                                                      std::uint32_t width, std::uint32_t depth,
                                                                      double cell_m, double slope,
                                                                      double footprintRadius_m, double x_m,
                                                                      double z_m, double volume_m3) {
    resize(height_m.size());
    reached.clear();
    frontier.clear();
    const double sourceX = std::clamp(x_m, 0.0, width * cell_m);
    const double sourceZ = std::clamp(z_m, 0.0, depth * cell_m);
    // The level at which the cone L - k d first stands above a cell's surface, worked out once a delivery
    // however many neighbours offer the cell. Its column i and row j come with it: the callers know them,
    // and dividing the index again costs more than the rest of the sum.
    auto keyOf = [&](std::uint32_t cell, std::uint32_t i, std::uint32_t j) {
        CellState& state = cells[cell];
        if (state.keyedIn != generation) {
            state.keyedIn = generation;
            const double dx = (i + 0.5) * cell_m - sourceX;
            const double dz = (j + 0.5) * cell_m - sourceZ;
            const double distance = std::max(0.0, std::sqrt(dx * dx + dz * dz) - footprintRadius_m);
            state.key = height_m[cell] + slope * distance;
        }
        return state.key;
    };
    const auto startI = std::min(static_cast<std::uint32_t>(sourceX / cell_m), width - 1);
    const auto startJ = std::min(static_cast<std::uint32_t>(sourceZ / cell_m), depth - 1);
    const std::uint32_t start = startJ * width + startI;
    frontier.push_back({keyOf(start, startI, startJ), start});
    cells[start].offeredIn = generation;
    cells[start].bestJoinLevel = frontier.front().joinLevel;

    // Cells join in the order of the level at which they join; between two joins the volume held is
    // area * (n L - sum of keys), linear in L, so the level that holds the delivery is solved exactly.
    // Cells that join at one level together (a rim and what lies behind it) join at once: when the
    // delivery cannot fill the hollows behind the rim up to it, they share what is left in proportion to
    // their room, so that no order among them decides where material goes.
    const double area_m2 = cell_m * cell_m;
    const double heldAtLevel = volume_m3 / area_m2;  // volume in units of cell area
    double keySum = 0.0;
    double level = 0.0;
    std::size_t joined = 0;
    // Where the cells of a partly filled rim's level start in `reached`, and the share of its hollows' room
    // that is filled.
    std::size_t rimStart = 0;
    double rimShare = -1.0;
    const std::greater<Candidate> later;
    while (!frontier.empty()) {
        const double rim = frontier.front().joinLevel;
        if (joined > 0 && (heldAtLevel + keySum) / static_cast<double>(joined) <= rim) {
            break;
        }
        const std::size_t joinedBefore = joined;
        const double keySumBefore = keySum;
        const std::size_t start = reached.size();
        double room = 0.0;
        while (!frontier.empty() && frontier.front().joinLevel <= rim) {
            std::pop_heap(frontier.begin(), frontier.end(), later);
            const Candidate next = frontier.back();
            frontier.pop_back();
            CellState& joining = cells[next.cell];
            if (joining.joinedIn == generation || next.joinLevel > joining.bestJoinLevel) {
                continue;
            }
            const std::uint32_t i = next.cell % width;
            const std::uint32_t j = next.cell / width;
            const double key = keyOf(next.cell, i, j);
            joining.joinedIn = generation;
            reached.emplace_back(next.cell, key);
            ++joined;
            keySum += key;
            room += rim - key;
            // The eight neighbours within the grid, row by row, as the walls bound them.
            const std::uint32_t iFirst = i > 0 ? i - 1 : 0;
            const std::uint32_t iLast = std::min(i + 1, width - 1);
            const std::uint32_t jFirst = j > 0 ? j - 1 : 0;
            const std::uint32_t jLast = std::min(j + 1, depth - 1);
            for (std::uint32_t nj = jFirst; nj <= jLast; ++nj) {
                for (std::uint32_t ni = iFirst; ni <= iLast; ++ni) {
                    const std::uint32_t neighbour = nj * width + ni;
                    CellState& offered = cells[neighbour];
                    if (offered.joinedIn == generation) {
                        continue;  // the cell itself among them
                    }
                    const double joinLevel = std::max(keyOf(neighbour, ni, nj), next.joinLevel);
                    if (offered.offeredIn != generation || joinLevel < offered.bestJoinLevel) {
                        offered.offeredIn = generation;
                        offered.bestJoinLevel = joinLevel;
                        frontier.push_back({joinLevel, neighbour});
                        std::push_heap(frontier.begin(), frontier.end(), later);
                    }
                }
            }
        }
        const double filledBefore = static_cast<double>(joinedBefore) * rim - keySumBefore;
        if (filledBefore + room > heldAtLevel && room > 0.0) {
            level = rim;
            rimStart = start;
            rimShare = (heldAtLevel - filledBefore) / room;
            break;
        }
        level = (heldAtLevel + keySum) / static_cast<double>(joined);
    }
    if (rimShare < 0.0 && joined > 0) {
        level = (heldAtLevel + keySum) / static_cast<double>(joined);
    }
    // Each cell rises to the level, less its key; the hollows behind a rim the delivery could not fill
    // rise by their share of their room.
    for (std::size_t k = 0; k < reached.size(); ++k) {
        const double key = reached[k].second;
        reached[k].second = rimShare >= 0.0 && k >= rimStart ? (level - key) * rimShare : std::max(0.0, level - key);
    }
    return reached;
}

}  // namespace korvex
