// The smoothed record rate: its start, a steady rate, and its 15-second memory.
#include <cmath>

#include "check.h"
#include "progress/rate_estimate.h"

namespace {

bool near(double actual, double expected) {
    return std::abs(actual - expected) <= 1e-6 * std::abs(expected);
}

}  // namespace

UNIT_TEST(rate_estimate_is_zero_until_progress_over_measurable_time) {
    progress::RateEstimate rate;
    CHECK_EQ(rate.per_second(), 0.0);
    rate.record(5, 0.0);
    CHECK_EQ(rate.per_second(), 0.0);
    rate.record(5, 0.25);
    CHECK_EQ(rate.per_second(), 20.0);
}

UNIT_TEST(rate_estimate_first_observation_counts_in_full) {
    progress::RateEstimate rate;
    rate.record(3, 0.01);
    CHECK(near(rate.per_second(), 300.0));
}

UNIT_TEST(rate_estimate_of_a_steady_rate_is_that_rate_however_it_is_sampled) {
    progress::RateEstimate rate;
    const double times[] = {0.001, 0.004, 0.5, 0.5005, 2.0, 7.25, 30.0, 30.001};
    for (double seconds : times)
        rate.record(static_cast<std::uint64_t>(std::llround(seconds * 4'000)), seconds);
    CHECK(near(rate.per_second(), 4'000.0));
}

UNIT_TEST(rate_estimate_keeps_a_tenth_of_what_it_saw_fifteen_seconds_ago) {
    progress::RateEstimate rate;
    std::uint64_t position = 0;
    int second = 0;
    for (; second < 600; ++second) rate.record(position += 100, second + 1);
    for (; second < 615; ++second) rate.record(position += 200, second + 1);
    CHECK(near(rate.per_second(), 0.1 * 100 + 0.9 * 200));
}
