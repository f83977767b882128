#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace korvex {

/// The settled particles whose bodies are still in the physics world, filed by the heap-map cell under
/// their centre, with the lowest centre of each cell. A particle is buried once its cell's recorded height
/// lies more than a set depth above its centre; a cell can hold buried particles only when its height lies
/// that far above its lowest centre, so finding them costs a look at each cell that holds particles instead
/// of at every particle on the pile. Costs four bytes a cell, as the heap map does, and a column for each
/// cell that holds particles.
template <class Particle>
class RestingColumns {
public:
    /// Forgets every particle and makes room for `cells` cells.
    void reset(std::size_t cells) {
        slotOf_.assign(cells, 0);
        columns_.clear();
    }

    /// Files `particle`, centred at height `y`, under `cell`.
    void add(std::size_t cell, Particle* particle, float y) {
        std::uint32_t& slot = slotOf_[cell];
        if (slot == 0) {
            columns_.push_back({cell, std::numeric_limits<float>::infinity(), {}});
            slot = static_cast<std::uint32_t>(columns_.size());
        }
        Column& column = columns_[slot - 1];
        column.entries.push_back({y, particle});
        column.lowest = std::min(column.lowest, y);
    }

    /// Takes `particle` out of `cell`, if it is filed there.
    void remove(std::size_t cell, const Particle* particle) {
        const std::uint32_t slot = slotOf_[cell];
        if (slot == 0) {
            return;
        }
        Column& column = columns_[slot - 1];
        const auto found =
            std::find_if(column.entries.begin(), column.entries.end(),
                         [particle](const Entry& entry) { return entry.particle == particle; });
        if (found != column.entries.end()) {
            *found = column.entries.back();
            column.entries.pop_back();
            column.refreshLowest();
        }
    }

    /// Takes out every particle whose centre lies more than `depth` below the height `heights[cell]` of its
    /// cell, comparing in double precision, and appends it to `buried`. Columns left empty are dropped.
    void takeBuried(const float* heights, double depth, std::vector<Particle*>& buried) {
        std::size_t k = 0;
        while (k < columns_.size()) {
            Column& column = columns_[k];
            const double limit = static_cast<double>(heights[column.cell]) - depth;
            if (limit > static_cast<double>(column.lowest)) {
                std::erase_if(column.entries, [&](const Entry& entry) {
                    if (limit > static_cast<double>(entry.y)) {
                        buried.push_back(entry.particle);
                        return true;
                    }
                    return false;
                });
                column.refreshLowest();
            }
            if (!column.entries.empty()) {
                ++k;
                continue;
            }
            // The last column takes the empty one's slot.
            slotOf_[column.cell] = 0;
            if (k + 1 < columns_.size()) {
                column = std::move(columns_.back());
                slotOf_[column.cell] = static_cast<std::uint32_t>(k + 1);
            }
            columns_.pop_back();
        }
    }

private:
    struct Entry {
        float y;
        Particle* particle;
    };

    struct Column {
        std::size_t cell;
        float lowest;
        std::vector<Entry> entries;

        void refreshLowest() {
            lowest = std::numeric_limits<float>::infinity();
            for (const Entry& entry : entries) {
                lowest = std::min(lowest, entry.y);
            }
        }
    };

    /// Per cell: 0, or 1 + the index of its column.
    std::vector<std::uint32_t> slotOf_;
    std::vector<Column> columns_;
};

}  // namespace korvex
