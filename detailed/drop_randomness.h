#pragma once

#include <cstdint>
#include <optional>
#include <random>

namespace korvex::detail {

/// A uniform float on [a, b) made from exactly one 32-bit generator output: its top 24 bits scaled to
/// [0, 1). The standard distributions leave this mapping to the library; this one gives the same
/// values everywhere. The float arithmetic can round the largest draws up to b itself.
struct UniformFloat {
    float a;
    float b;

    float operator()(std::mt19937& generator) const {
        return fromOutput(static_cast<std::uint32_t>(generator()));
    }
    float fromOutput(std::uint32_t output) const {
        return a + (b - a) * (static_cast<float>(output >> 8) * 0x1p-24f);
    }
};

/// The random state from which every detailed simulator of the process draws the jitter of its
/// particles. Created once, at the first drop in the process.
struct DropRandomness {
    explicit DropRandomness(float jitterBound);

    /// Half the spread of a particle's edge lengths, fixed by the first simulator that drops.
    const float jitterBound;
    std::mt19937 generator;
    const UniformFloat size;
    const UniformFloat lateral;
    const UniformFloat factor;
    const UniformFloat angle;
};

/// The process-wide state; the first call creates it with a jitter bound of 0.05 x `particleSize`.
DropRandomness& dropRandomness(float particleSize);

/// Restarts the process-wide generator from `seed`; if nothing has been dropped yet, the state is
/// created with this seed instead of one from std::random_device. For reproducible tests.
void seedDropRandomness(std::uint32_t seed);

/// The jitter bound once a first drop has fixed it.
std::optional<float> dropJitterBound();

}  // namespace korvex::detail
