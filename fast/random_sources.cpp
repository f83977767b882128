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

}  // namespace korvex
