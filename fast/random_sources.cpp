#include "fast/random_sources.h"

namespace korvex {

FastRandomSources& fastRandomSources() {
    static FastRandomSources sources{std::mt19937(std::random_device{}())};
    return sources;
}

void seedFastRandomSources(std::uint32_t seed) {
    FastRandomSources& sources = fastRandomSources();
    sources.engine.seed(seed);
    sources.neighbourhood.reset();
    sources.firstNeighbour.reset();
}

Xoshiro256StarStar::Xoshiro256StarStar(std::uint64_t seed) {
    // splitmix64 mixes four distinct counter values by a bijection into four distinct words, so the state is
    // never all zero; neighbouring seeds give unrelated states.
    for (std::uint64_t& word : state) {
        seed += 0x9e3779b97f4a7c15u;
        std::uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        word = z ^ (z >> 31);
    }
}

bool Xoshiro256StarStar::restore(const std::array<std::uint64_t, 4>& words) {
    if (words == std::array<std::uint64_t, 4>{}) {
        return false;
    }
    state = words;
    return true;
}

}  // namespace korvex
