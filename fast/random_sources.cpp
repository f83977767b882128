#include "fast/random_sources.h"

#include "core/seeding.h"

namespace korvex {

FastRandomSources seededFastRandomSources(std::uint64_t seed) {
    return FastRandomSources{seededGenerator(seed)};
}

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
