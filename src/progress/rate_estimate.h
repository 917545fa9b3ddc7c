// The smoothed rate of finished records that the remaining time is estimated from.
#pragma once

#include <cstdint>

namespace progress {

// An exponentially weighted average of the observed rate, in which an
// observation's weight falls to one tenth over 15 seconds. Dividing by the
// total weight given so far keeps the first seconds from reading low.
// Not thread-safe: the bar updates it under its state lock.
class RateEstimate {
  public:
    // Notes that `position` records were finished `seconds` after the start;
    // neither ever goes back.
    void record(std::uint64_t position, double seconds);

    // Records per second; 0 until some progress has been seen over a
    // measurable time.
    double per_second() const;

  private:
    std::uint64_t last_position_ = 0;
    double last_seconds_ = 0;
    double weighted_rate_ = 0;
    double total_weight_ = 0;
};

}  // namespace progress
