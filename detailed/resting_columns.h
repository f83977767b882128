#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvex {

/// The settled particles whose bodies are still in the physics world, filed by the heap-map cell under
/// their centre, with the lowest centre of each cell. A particle is buried once its cell's recorded height
/// lies more than a set depth above its centre; heights only grow, so a cell can hold buried particles only
/// when its height has passed its lowest centre by that depth, and finding them costs a look at each cell
/// that holds particles instead of at every particle on the pile.
template <class Particle>
class RestingColumns {
public:
    /// Forgets every particle and makes room for `cells` cells.
    void reset(std::size_t cells) {
        columns_.assign(cells, {});
        lowest_.assign(cells, std::numeric_limits<float>::infinity());
        listed_.assign(cells, false);
        occupied_.clear();
    }

    /// Files `particle`, centred at height `y`, under `cell`.
    void add(std::uint32_t cell, Particle* particle, float y) {
        if (!listed_[cell]) {
            occupied_.push_back(cell);
            listed_[cell] = true;
        }
        columns_[cell].push_back({y, particle});
        lowest_[cell] = std::min(lowest_[cell], y);
    }

    /// Takes `particle` out of `cell`, if it is filed there.
    void remove(std::uint32_t cell, const Particle* particle) {
        std::vector<Entry>& column = columns_[cell];
        const auto found = std::find_if(column.begin(), column.end(),
                                        [particle](const Entry& e) { return e.particle == particle; });
        if (found == column.end()) {
            return;
        }
        *found = column.back();
        column.pop_back();
        refreshLowest(cell);
    }

    /// Takes out every particle whose centre lies more than `depth` below the height `heights[cell]` of its
    /// cell, comparing in double precision, and appends it to `buried`. Cells left empty stop being looked
    /// at.
    void takeBuried(const float* heights, double depth, std::vector<Particle*>& buried) {
        std::size_t kept = 0;
        for (const std::uint32_t cell : occupied_) {
            const double limit = static_cast<double>(heights[cell]) - depth;
            if (limit > static_cast<double>(lowest_[cell])) {
                std::vector<Entry>& column = columns_[cell];
                std::erase_if(column, [&](const Entry& entry) {
                    if (limit > static_cast<double>(entry.y)) {
                        buried.push_back(entry.particle);
                        return true;
                    }
                    return false;
                });
                refreshLowest(cell);
            }
            if (columns_[cell].empty()) {
                listed_[cell] = false;
            } else {
                occupied_[kept++] = cell;
            }
        }
        occupied_.resize(kept);
    }

private:
    struct Entry {
        float y;
        Particle* particle;
    };

    void refreshLowest(std::uint32_t cell) {
        float lowest = std::numeric_limits<float>::infinity();
        for (const Entry& entry : columns_[cell]) {
            lowest = std::min(lowest, entry.y);
        }
        lowest_[cell] = lowest;
    }

    std::vector<std::vector<Entry>> columns_;
    std::vector<float> lowest_;
    /// The cells that may hold particles, each once; a cell emptied by remove stays listed until the next
    /// takeBuried.
    std::vector<std::uint32_t> occupied_;
    std::vector<bool> listed_;
};

}  // namespace korvex
