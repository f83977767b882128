#include "core/seeding.h"

namespace korvex {

std::mt19937 seededGenerator(std::uint64_t seed) {
    std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
    return std::mt19937(sequence);
}

std::uint64_t freshSeed() {
    std::random_device device;
    return (std::uint64_t{device()} << 32) | device();
}

}  // namespace korvex
