// Worker-thread counts: the number format of the environment variables and the cap.
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

UNIT_TEST(thread_count_requests_are_capped_and_zero_never_resolves_to_zero) {
    CHECK_EQ(merge_engine::resolve_thread_count(5), std::size_t{5});
    CHECK_EQ(merge_engine::resolve_thread_count(65535), std::size_t{65535});
    CHECK_EQ(merge_engine::resolve_thread_count(65536), std::size_t{65535});
    CHECK_EQ(merge_engine::resolve_thread_count(UINT64_MAX), std::size_t{65535});
    CHECK(merge_engine::resolve_thread_count(0) >= 1);
    CHECK(merge_engine::available_processors() >= 1);
}
