// The allowance limiter behind both the advance and the redraw rate.
#include "progress/burst_limiter.h"

#include <algorithm>

namespace progress {

namespace {

constexpr int allowance_bits = 8;
constexpr std::uint64_t allowance_mask = (std::uint64_t{1} << allowance_bits) - 1;

std::uint64_t pack(std::uint64_t time, std::uint64_t allowance) {
    return (time << allowance_bits) | allowance;
}

}  // namespace

BurstLimiter::BurstLimiter(std::uint8_t capacity, std::uint64_t interval)
    : state_(pack(0, capacity)), capacity_(capacity), interval_(interval) {}

bool BurstLimiter::try_acquire(std::uint64_t now) noexcept {
    std::uint64_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
        std::uint64_t last = state >> allowance_bits;
        // Clocks read on different threads may arrive slightly out of order.
        std::uint64_t passed = now > last ? now - last : 0;
        std::uint64_t regained = std::min<std::uint64_t>(passed / interval_, capacity_);
        std::uint64_t allowance =
            std::min<std::uint64_t>((state & allowance_mask) + regained, capacity_);
        if (allowance == 0) return false;
        std::uint64_t next = pack(std::max(now, last), allowance - 1);
        if (state_.compare_exchange_weak(state, next, std::memory_order_relaxed)) return true;
    }
}

}  // namespace progress
