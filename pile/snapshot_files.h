#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "pile/pile.h"
#include "pile/ring_pile.h"

namespace korvex {

/// Saves `pile` and the caller's `note` to `path` as one snapshot, atomically (see writeFileAtomically).
void saveSnapshotFile(const Pile& pile, const std::string& path, std::span<const std::byte> note);
void saveSnapshotFile(const RingPile& ring, const std::string& path, std::span<const std::byte> note);

/// A snapshot file read and checked, its bytes kept while a pile is read from them.
class SnapshotFile {
public:
    /// Reads `path` and checks that it is a whole snapshot of `kind`; throws std::system_error when it
    /// cannot be read, SnapshotError when it is truncated, corrupt, foreign, newer or of another kind.
    SnapshotFile(const std::string& path, SnapshotKind kind);
    SnapshotFile(const SnapshotFile&) = delete;
    SnapshotFile& operator=(const SnapshotFile&) = delete;

    SnapshotReader payload() const { return SnapshotReader(parts.payload); }
    std::span<const std::byte> note() const { return parts.note; }

private:
    std::vector<std::byte> bytes;
    OpenedSnapshot parts;
};

/// The whole state of a pile as bytes, to be read back by SnapshotReader: a copy that goes on alike.
template <class SavedPile>
std::vector<std::byte> stateOf(const SavedPile& pile) {
    SnapshotWriter out;
    pile.save(out);
    return out.bytes();
}

}  // namespace korvex
