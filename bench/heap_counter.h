#pragma once

#include <cstddef>

namespace korvex::bench::heap {

/// Bytes held through operator new right now, counted as malloc_usable_size reports them.
std::size_t live();
/// The most bytes held at once since the last resetPeak.
std::size_t peak();
/// Starts a new peak from what is held now.
void resetPeak();

}  // namespace korvex::bench::heap
