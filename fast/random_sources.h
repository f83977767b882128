#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <random>

namespace korvex {

/// The two decisions that open a descent step: whether it examines all eight neighbours or only the four
/// edge ones, and the neighbour table entry (0 .. 7) it examines first.
struct StepDraw {
    bool eightNeighbours;
    std::uint32_t first;
};

/// The random sources a fast simulator draws its descent steps from. Not locked: two simulators sharing
/// one must not place particles on two threads at once.
struct FastRandomSources {
    std::mt19937 engine;
    /// Decides, against eightNeighbourProbability, whether a step examines eight neighbours or four.
    std::uniform_real_distribution<double> neighbourhood{0.0, 1.0};
    /// The neighbour table entry a step examines first.
    std::uniform_int_distribution<int> firstNeighbour{0, 7};

    /// Draws the neighbourhood, then the first neighbour: three engine outputs.
    StepDraw drawStep(double eightNeighbourProbability) {
        const bool eight = !(neighbourhood(engine) > eightNeighbourProbability);
        const auto first = static_cast<std::uint32_t>(firstNeighbour(engine));
        return {eight, first};
    }
};

/// The process-wide sources that simulators share unless handed their own, created on first use with the
/// engine seeded once from std::random_device.
FastRandomSources& fastRandomSources();

/// Restarts the process-wide sources from `seed` so that walks can be repeated; not offered to Python.
void seedFastRandomSources(std::uint32_t seed);

/// xoshiro256** 1.0 (Blackman and Vigna): 64-bit outputs from 256 bits of state, a few cycles each, every
/// bit of good quality. A UniformRandomBitGenerator.
class Xoshiro256StarStar {
public:
    using result_type = std::uint64_t;

    /// The state filled by four outputs of splitmix64 started from `seed`, which never leaves it all zero.
    explicit Xoshiro256StarStar(std::uint64_t seed);

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    result_type operator()() {
        const std::uint64_t result = rotl(state[1] * 5, 7) * 9;
        const std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }

    bool operator==(const Xoshiro256StarStar&) const = default;

    /// The four words of state, to be saved and given back to restore.
    const std::array<std::uint64_t, 4>& words() const { return state; }
    /// Continues from words that words() returned. Returns false, changing nothing, for the all-zero
    /// state, from which the generator would only ever give zeros.
    bool restore(const std::array<std::uint64_t, 4>& words);

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::array<std::uint64_t, 4> state;
};

/// Random sources of a simulator of its own, started from a seed: each descent step takes one 64-bit
/// output and splits it, the top 53 bits a uniform number in [0, 1) for the neighbourhood (as many bits
/// as a double holds, as the standard distribution gives), the low three bits the first neighbour. The
/// two bit ranges do not overlap, so the decisions are independent and each has exactly the probabilities
/// of FastRandomSources at a third of the engine outputs, without the distributions' arithmetic.
struct SplitDrawSources {
    Xoshiro256StarStar engine;

    explicit SplitDrawSources(std::uint64_t seed) : engine(seed) {}

    StepDraw drawStep(double eightNeighbourProbability) {
        const std::uint64_t bits = engine();
        // u > p for u = (bits >> 11) 2^-53, compared as u 2^53 > p 2^53: both sides exact, and the product
        // is taken once a descent rather than once a step.
        const bool four = static_cast<double>(bits >> 11) > eightNeighbourProbability * 0x1p53;
        return {!four, static_cast<std::uint32_t>(bits & 7u)};
    }
};

}  // namespace korvex
