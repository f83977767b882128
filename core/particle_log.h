#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/snapshot.h"

namespace korvex {

/// Where the particles of a pile came to rest, one entry per particle in the order they came to rest,
/// kept as columns of single-precision numbers so that a pile of millions of particles stays small.
/// Owns its columns; a simulator only appends to it.
class ParticleLog {
public:
    /// Appends one particle: the order in which it was dropped, the centre it rests at (metres) and its
    /// averaged quality values. The first particle fixes the count of quality values; a later one with
    /// another count is logged with its values cut or padded with NaN, which never happens on a pile
    /// that refuses such material. When memory runs out the log is left as it was.
    void append(std::uint64_t dropIndex, float x, float y, float z, const AveragedParameters& material);

    /// Bytes one particle with `qualities` quality values takes in the log.
    static constexpr double bytesPerParticle(std::size_t qualities) {
        return static_cast<double>(sizeof(std::uint64_t) + 3 * sizeof(float) + qualities * sizeof(float));
    }

    std::size_t size() const { return dropIndex.size(); }
    std::size_t qualityCount() const { return qualities; }
    /// Forgets every particle and the quality count.
    void clear();
    /// Writes every entry, to be read back by load.
    void save(SnapshotWriter& out) const;
    /// Replaces the entries by those save wrote; throws SnapshotError for a damaged list.
    void load(SnapshotReader& in);

    std::vector<std::uint64_t> dropIndex;
    std::vector<float> x;
    std::vector<float> y;
    std::vector<float> z;
    /// size() rows of qualityCount() averages, row by row.
    std::vector<float> values;

private:
    std::size_t qualities = 0;
};

}  // namespace korvex
