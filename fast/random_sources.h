#pragma once

#include <cstdint>
#include <random>

namespace korvex {

/// The random sources a fast simulator draws its descent steps from. Not locked: two simulators sharing
/// one must not place particles on two threads at once.
struct FastRandomSources {
    std::mt19937 engine;
    /// Decides, against eightNeighbourProbability, whether a step examines eight neighbours or four.
    std::uniform_real_distribution<double> neighbourhood{0.0, 1.0};
    /// The neighbour table entry a step examines first.
    std::uniform_int_distribution<int> firstNeighbour{0, 7};
};

/// Sources of their own for one simulator, started from `seed`.
FastRandomSources seededFastRandomSources(std::uint64_t seed);

/// The process-wide sources that simulators share unless handed their own, created on first use with the
/// engine seeded once from std::random_device.
FastRandomSources& fastRandomSources();

/// Restarts the process-wide sources from `seed` so that walks can be repeated; not offered to Python.
void seedFastRandomSources(std::uint32_t seed);

}  // namespace korvex
