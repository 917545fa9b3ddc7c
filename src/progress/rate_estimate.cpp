// Exponential smoothing of the record rate.
#include "progress/rate_estimate.h"

#include <cmath>

namespace progress {

namespace {

constexpr double weight_left_after_window = 0.1;
constexpr double window_seconds = 15.0;

}  // namespace

void RateEstimate::record(std::uint64_t position, double seconds) {
    double passed = seconds - last_seconds_;
    // Steps within one clock tick are kept and counted with the next observation.
    if (passed <= 0) return;
    double finished = static_cast<double>(position - last_position_);
    // The weight of the new observation grows with the time it covers, so
    // many short observations weigh what one long one would.
    double kept = std::pow(weight_left_after_window, passed / window_seconds);
    weighted_rate_ = weighted_rate_ * kept + (finished / passed) * (1 - kept);
    total_weight_ = total_weight_ * kept + (1 - kept);
    last_position_ = position;
    last_seconds_ = seconds;
}

double RateEstimate::per_second() const {
    return total_weight_ > 0 ? weighted_rate_ / total_weight_ : 0.0;
}

}  // namespace progress
