#pragma once

#include <cstdint>
#include <random>

namespace korvex {

/// A Mersenne Twister started from all 64 bits of `seed`: equal seeds give equal sequences on every
/// platform, since std::seed_seq and std::mt19937 are specified to the bit.
std::mt19937 seededGenerator(std::uint64_t seed);

/// A seed drawn from std::random_device, for a pile whose caller gave none but wants to report one.
std::uint64_t freshSeed();

}  // namespace korvex
