#include "detailed/drop_randomness.h"

namespace korvex::detail {

namespace {

std::optional<std::uint32_t> requestedSeed;
DropRandomness* sharedState = nullptr;

std::uint32_t initialSeed() {
    if (requestedSeed) {
        return *requestedSeed;
    }
    return std::random_device{}();
}

}  // namespace

DropRandomness::DropRandomness(float jitterBound)
    : jitterBound(jitterBound),
      generator(initialSeed()),
      size{-jitterBound, jitterBound},
      lateral{-0.75f, 0.75f},
      factor{0.995f, 1.005f},
      angle{0.0f, 6.2831855f} {
    sharedState = this;
}

DropRandomness& dropRandomness(float particleSize) {
    static DropRandomness state(0.05f * particleSize);
    return state;
}

void seedDropRandomness(std::uint32_t seed) {
    requestedSeed = seed;
    if (sharedState != nullptr) {
        sharedState->generator.seed(seed);
    }
}

std::optional<float> dropJitterBound() {
    if (sharedState == nullptr) {
        return std::nullopt;
    }
    return sharedState->jitterBound;
}

}  // namespace korvex::detail
