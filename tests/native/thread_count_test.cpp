// Worker-thread counts: the number format of the environment variables and the bound per
// processor. The bound of a process of known size is tested from Python (test_worker_pool.py).
#include <cstdint>
#include <optional>
#include <string_view>

#include "check.h"
#include "merge_engine/thread_count.h"

using merge_engine::parse_thread_count;

UNIT_TEST(thread_count_variables_are_unsigned_decimals_with_an_optional_plus) {
    struct Case {
        std::string_view text;
        std::optional<std::uint64_t> value;
    };
    const Case cases[] = {
        {"3", 3},
        {"+4", 4},
        {"0", 0},
        {"007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"", {}},
        {"+", {}},
        {"-2", {}},
        {"3x", {}},
        {" 3", {}},
        {"3 ", {}},
        {"++3", {}},
        {"0x10", {}},
        {"18446744073709551616", {}},
    };
    for (const Case& c : cases) {
        CHECK(parse_thread_count(c.text) == c.value);
    }
}

UNIT_TEST(the_worker_bound_is_four_per_processor_and_at_least_one) {
    CHECK_EQ(merge_engine::worker_bound_for(0), std::size_t{1});
    CHECK_EQ(merge_engine::worker_bound_for(1), std::size_t{4});
    CHECK_EQ(merge_engine::worker_bound_for(6), std::size_t{24});
}

UNIT_TEST(thread_count_requests_are_capped_at_the_bound_and_zero_never_resolves_to_zero) {
    const std::size_t bound = merge_engine::worker_thread_bound();
    CHECK_EQ(merge_engine::resolve_thread_count(1), std::size_t{1});
    CHECK_EQ(merge_engine::resolve_thread_count(bound), bound);
    CHECK_EQ(merge_engine::resolve_thread_count(bound + 1), bound);
    CHECK_EQ(merge_engine::resolve_thread_count(65536), bound);
    CHECK_EQ(merge_engine::resolve_thread_count(UINT64_MAX), bound);
    CHECK(merge_engine::resolve_thread_count(0) >= 1);
    CHECK(merge_engine::resolve_thread_count(0) <= bound);
}
