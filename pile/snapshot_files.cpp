#include "pile/snapshot_files.h"

#include "core/snapshot_file.h"

namespace korvex {

void writeSnapshotFile(const std::string& path, SnapshotKind kind, std::span<const std::byte> payload,
                       std::span<const std::byte> note) {
    writeFileAtomically(path, frameSnapshot(kind, payload, note));
}

SnapshotFile::SnapshotFile(const std::string& path, std::span<const SnapshotKind> accepted)
    : bytes(readWholeFile(path)), parts(openSnapshot(bytes, accepted)) {}

}  // namespace korvex
