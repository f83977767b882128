#include "pile/snapshot_files.h"

#include "core/snapshot_file.h"

namespace korvex {

void saveSnapshotFile(const Pile& pile, const std::string& path, std::span<const std::byte> note) {
    writeFileAtomically(path, frameSnapshot(SnapshotKind::pile, stateOf(pile), note));
}

void saveSnapshotFile(const RingPile& ring, const std::string& path, std::span<const std::byte> note) {
    writeFileAtomically(path, frameSnapshot(SnapshotKind::ring, stateOf(ring), note));
}

SnapshotFile::SnapshotFile(const std::string& path, SnapshotKind kind)
    : bytes(readWholeFile(path)), parts(openSnapshot(bytes, kind)) {}

}  // namespace korvex
