// The text of one progress line: spinner, elapsed clock, bar cells, counts and remaining time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace progress {

inline constexpr std::size_t bar_cells = 40;

// What one drawn line shows; everything is measured before rendering so
// that rendering itself reads no clock and no shared state.
struct LineFields {
    std::uint64_t spinner_step;
    bool finished;
    std::uint64_t elapsed_seconds;
    std::uint64_t position;
    std::uint64_t length;
    double remaining_seconds;
};

struct RenderedLine {
    std::string text;     // with colour sequences when asked for
    std::size_t columns;  // terminal columns the text occupies
};

// Whole seconds as "HH:MM:SS", with "{days}d " in front from one day on.
std::string elapsed_clock(std::uint64_t seconds);

// A duration rounded to its largest sensible unit, e.g. "89s", "2m", "3h".
std::string compact_duration(double seconds);

// How many of the bar's cells are filled at `position` of `length`.
std::size_t filled_cells(std::uint64_t position, std::uint64_t length);

// "{spinner} [{elapsed}] [{bar}] {pos}/{len} ({eta})", with green spinner,
// cyan filled cells and blue empty cells when `colours` is set.
RenderedLine render_line(const LineFields& fields, bool colours);

}  // namespace progress
