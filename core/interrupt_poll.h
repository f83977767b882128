#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace korvex {

/// A caller's interrupt check, called now and then during a long call: whatever it throws ends the call.
/// Asking on every call would cost a long loop more than the work it interrupts.
class InterruptPoll {
public:
    /// Replaces the check; an empty one turns polling off.
    void set(std::function<void()> check) { check_ = std::move(check); }

    /// Calls the check on every 1024th call.
    void poll() {
        if (check_ && (++polls_ & 1023u) == 0) {
            check_();
        }
    }

private:
    std::function<void()> check_;
    std::uint32_t polls_ = 0;
};

}  // namespace korvex
