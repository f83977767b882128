#include "detailed/step_counter.h"

#include <atomic>

namespace korvex::detail {

namespace {

std::atomic<int> stepCount{0};

}  // namespace

bool countStepForBuriedPass() {
    int current = stepCount.load();
    int next = 0;
    do {
        next = (current + 1) % 100;
    } while (!stepCount.compare_exchange_weak(current, next));
    return next == 0;
}

int stepsSinceBuriedPass() { return stepCount.load(); }

}  // namespace korvex::detail
