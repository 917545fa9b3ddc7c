// The progress line's time forms, bar cells and whole rendered text.
#include <cstdint>
#include <limits>
#include <string>

#include "check.h"
#include "progress/line_format.h"

namespace {

using progress::LineFields;
using progress::render_line;

std::string repeated(const std::string& piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

const std::string full = "\u2588";
const std::string empty = "\u2591";

}  // namespace

UNIT_TEST(elapsed_clock_shows_hours_minutes_seconds_and_days_from_one_day_on) {
    struct Case {
        std::uint64_t seconds;
        const char* shown;
    };
    const Case cases[] = {
        {0, "00:00:00"},         {59, "00:00:59"},          {3'661, "01:01:01"},
        {86'399, "23:59:59"},    {86'400, "1d 00:00:00"},   {90'061, "1d 01:01:01"},
        {93'784, "1d 02:03:04"}, {864'000, "10d 00:00:00"},
    };
    for (const Case& c : cases) CHECK_EQ(progress::elapsed_clock(c.seconds), std::string(c.shown));
}

UNIT_TEST(compact_duration_picks_the_unit_that_shows_at_least_two) {
    struct Case {
        double seconds;
        const char* shown;
    };
    const Case cases[] = {
        {0, "0s"},       {0.5, "1s"},       {89, "89s"},        {89.4, "89s"}, {89.6, "2m"},
        {90, "2m"},      {150, "3m"},       {5'369, "89m"},     {5'399, "2h"}, {126'000, "35h"},
        {129'600, "2d"}, {1'814'400, "3w"}, {63'072'000, "2y"}, {-4, "0s"},
    };
    for (const Case& c : cases)
        CHECK_EQ(progress::compact_duration(c.seconds), std::string(c.shown));
}

UNIT_TEST(filled_cells_truncate_the_single_precision_fraction_and_cap_at_forty) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t position;
        std::uint64_t length;
        std::size_t filled;
    };
    const Case cases[] = {
        {10, 40, 10},
        {1, 3, 13},
        {2, 3, 26},
        {3, 3, 40},
        {0, 5, 0},
        {0, 0, 40},
        {7, 0, 40},
        {5, 3, 40},
        {most, most, 40},
        // Both round to 2^25 in single precision: a full bar, one short of the end.
        {33'554'432, 33'554'433, 40},
    };
    for (const Case& c : cases) CHECK_EQ(progress::filled_cells(c.position, c.length), c.filled);
}

UNIT_TEST(render_line_colours_spinner_and_bar_and_counts_columns_without_sequences) {
    LineFields fields{.spinner_step = 2,
                      .finished = false,
                      .elapsed_seconds = 3'661,
                      .position = 10,
                      .length = 40,
                      .remaining_seconds = 90};
    std::string coloured = "\x1b[32m\u2809\x1b[0m [01:01:01] [\x1b[36m" + repeated(full, 10) +
                           "\x1b[34m" + repeated(empty, 30) + "\x1b[0m\x1b[0m] 10/40 (2m)";
    std::string plain =
        "\u2809 [01:01:01] [" + repeated(full, 10) + repeated(empty, 30) + "] 10/40 (2m)";

    progress::RenderedLine with_colours = render_line(fields, true);
    CHECK_EQ(with_colours.text, coloured);
    CHECK_EQ(with_colours.columns, std::size_t{66});
    progress::RenderedLine without = render_line(fields, false);
    CHECK_EQ(without.text, plain);
    CHECK_EQ(without.columns, std::size_t{66});
}

UNIT_TEST(render_line_spinner_cycles_through_the_running_frames_and_ends_blank) {
    LineFields fields{};
    struct Case {
        std::uint64_t step;
        bool finished;
        const char* frame;
    };
    const Case cases[] = {
        {0, false, "\u2801"},  {4, false, "\u281A"},  {28, false, "\u2808"},
        {29, false, "\u2801"}, {31, false, "\u2809"}, {28, true, " "},
    };
    for (const Case& c : cases) {
        fields.spinner_step = c.step;
        fields.finished = c.finished;
        std::string text = render_line(fields, false).text;
        CHECK_EQ(text.substr(0, text.find(" [")), std::string(c.frame));
    }
}

UNIT_TEST(render_line_of_a_finished_empty_bar_is_full_with_zero_counts) {
    LineFields fields{};
    fields.finished = true;
    CHECK_EQ(render_line(fields, false).text, "  [00:00:00] [" + repeated(full, 40) + "] 0/0 (0s)");
}
