#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvex {

/// Replaces the file at `path` by `bytes` so that a crash at any moment leaves either the old file or the
/// new one whole: the bytes go to a temporary file in the same directory, which is flushed to the disk
/// and then renamed over `path`, and the directory is flushed too. Throws std::system_error (with the
/// operating system's error code) naming the path when any step fails; the old file is then untouched
/// and the temporary file removed.
void writeFileAtomically(const std::string& path, std::span<const std::byte> bytes);

/// The whole file at `path`. Throws std::system_error naming the path when it cannot be read.
std::vector<std::byte> readWholeFile(const std::string& path);

}  // namespace korvex
