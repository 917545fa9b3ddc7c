// A lock-free allowance of immediate events that refills one per interval.
#pragma once

#include <atomic>
#include <cstdint>

namespace progress {

// Allows up to `capacity` events at once and one more for every whole
// `interval` since the last allowed one, never holding more than
// `capacity`. Times are ticks of the caller's clock, below 2^56. Safe to
// call from many threads; a refusal costs one atomic load.
class BurstLimiter {
  public:
    BurstLimiter(std::uint8_t capacity, std::uint64_t interval);

    bool try_acquire(std::uint64_t now) noexcept;

  private:
    // Time of the last allowed event in the high bits, remaining allowance
    // in the low byte, so both change in one atomic step.
    std::atomic<std::uint64_t> state_;
    std::uint8_t capacity_;
    std::uint64_t interval_;
};

}  // namespace progress
