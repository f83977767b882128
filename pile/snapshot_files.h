#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "pile/pile.h"
#include "pile/ring_pile.h"

namespace korvex {

/// Frames `payload` and `note` as a snapshot of `kind` and writes it to `path` atomically.
void writeSnapshotFile(const std::string& path, SnapshotKind kind, std::span<const std::byte> payload,
                       std::span<const std::byte> note);

/// A snapshot file read and checked, its bytes kept while a pile is read from them.
class SnapshotFile {
public:
    /// Reads `path` and checks that it is a whole snapshot of one of the kinds `accepted`; throws
    /// std::system_error when it cannot be read, SnapshotError when it is truncated, corrupt, foreign, newer
    /// or of another kind.
    SnapshotFile(const std::string& path, std::span<const SnapshotKind> accepted);
    SnapshotFile(const SnapshotFile&) = delete;
    SnapshotFile& operator=(const SnapshotFile&) = delete;

    SnapshotKind kind() const { return parts.kind; }
    SnapshotReader payload() const { return SnapshotReader(parts.payload); }
    std::span<const std::byte> note() const { return parts.note; }

private:
    std::vector<std::byte> bytes;
    OpenedSnapshot parts;
};

/// The whole state of a pile as bytes, to be read back by SnapshotReader with the pile's snapshotKind: a
/// copy that goes on alike.
template <class SavedPile>
std::vector<std::byte> stateOf(const SavedPile& pile) {
    SnapshotWriter out;
    pile.save(out);
    return out.bytes();
}

/// Saves `pile` (a Pile or a RingPile) and the caller's `note` to `path` as one snapshot of the pile's
/// kind, atomically (see writeFileAtomically).
template <class SavedPile>
void saveSnapshotFile(const SavedPile& pile, const std::string& path, std::span<const std::byte> note) {
    writeSnapshotFile(path, pile.snapshotKind(), stateOf(pile), note);
}

}  // namespace korvex
