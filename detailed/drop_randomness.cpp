#include "detailed/drop_randomness.h"

#include <optional>

namespace korvex::detail {

namespace {

std::optional<std::uint32_t> requestedSeed;
std::mt19937* sharedGenerator = nullptr;

}  // namespace

DropDistributions::DropDistributions(float particleSize)
    : jitterBound(0.05f * particleSize),
      size{-jitterBound, jitterBound},
      lateral{-0.75f, 0.75f},
      factor{0.995f, 1.005f},
      angle{0.0f, 6.2831855f} {}

std::mt19937& processDropGenerator() {
    static std::mt19937 generator(requestedSeed ? *requestedSeed : std::random_device{}());
    sharedGenerator = &generator;
    return generator;
}

void seedDropRandomness(std::uint32_t seed) {
    requestedSeed = seed;
    if (sharedGenerator != nullptr) {
        sharedGenerator->seed(seed);
    }
}

}  // namespace korvex::detail
