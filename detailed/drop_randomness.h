#pragma once

#include <cstdint>
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

/// The ranges a detailed simulator draws the jitter of its particles from.
struct DropDistributions {
    /// Jitters the edges of boxes of `particleSize` by up to 5 % of it.
    explicit DropDistributions(float particleSize);

    /// Half the spread of a particle's edge lengths.
    const float jitterBound;
    const UniformFloat size;
    const UniformFloat lateral;
    const UniformFloat factor;
    const UniformFloat angle;
};

/// The generator that detailed simulators share unless handed their own; created at its first use,
/// seeded from std::random_device.
std::mt19937& processDropGenerator();

/// Restarts the process-wide generator from `seed`; if it does not exist yet, it is created with this
/// seed instead of one from std::random_device. For reproducible tests.
void seedDropRandomness(std::uint32_t seed);

}  // namespace korvex::detail
