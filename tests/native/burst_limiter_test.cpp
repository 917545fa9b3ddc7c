// The allowance limiter: its burst, its refill, its cap, and its use from many threads.
#include <atomic>
#include <thread>
#include <vector>

#include "check.h"
#include "progress/burst_limiter.h"

namespace {

int acquisitions(progress::BurstLimiter& limiter, std::uint64_t now, int attempts) {
    int allowed = 0;
    for (int i = 0; i < attempts; ++i) allowed += limiter.try_acquire(now) ? 1 : 0;
    return allowed;
}

}  // namespace

UNIT_TEST(burst_limiter_starts_full_and_refills_one_per_whole_interval_since_the_last) {
    progress::BurstLimiter limiter(10, 1'000);
    CHECK_EQ(acquisitions(limiter, 0, 11), 10);
    CHECK_EQ(acquisitions(limiter, 999, 1), 0);
    CHECK_EQ(acquisitions(limiter, 1'000, 2), 1);
    // 1,999 ticks after the last allowed one: one whole interval, the rest is dropped.
    CHECK_EQ(acquisitions(limiter, 2'999, 2), 1);
    CHECK_EQ(acquisitions(limiter, 3'998, 1), 0);
    CHECK_EQ(acquisitions(limiter, 1'000'000, 30), 10);
}

UNIT_TEST(burst_limiter_refill_is_capped_at_its_capacity) {
    progress::BurstLimiter limiter(20, 50);
    CHECK_EQ(acquisitions(limiter, 0, 5), 5);
    CHECK_EQ(acquisitions(limiter, 50 * 100, 100), 20);
}

UNIT_TEST(burst_limiter_earlier_clock_reading_neither_regains_nor_moves_the_last_time_back) {
    progress::BurstLimiter limiter(10, 1'000);
    CHECK_EQ(acquisitions(limiter, 5'000, 9), 9);
    CHECK_EQ(acquisitions(limiter, 4'000, 2), 1);
    CHECK_EQ(acquisitions(limiter, 5'999, 1), 0);
    CHECK_EQ(acquisitions(limiter, 6'000, 1), 1);
}

UNIT_TEST(burst_limiter_allows_exactly_its_capacity_to_racing_threads) {
    progress::BurstLimiter limiter(10, 1'000);
    std::atomic<int> allowed{0};
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
            }
            allowed.fetch_add(acquisitions(limiter, 500, 1'000));
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK_EQ(allowed.load(), 10);
}
