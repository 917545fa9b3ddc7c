// Rendering of the progress line and its time forms.
#include "progress/line_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string_view>

namespace progress {

namespace {

// Braille dots circling; the space is shown once the bar is finished.
constexpr const char* running_frames[] = {
    "\u2801", "\u2801", "\u2809", "\u2819", "\u281A", "\u2812", "\u2802", "\u2802",
    "\u2812", "\u2832", "\u2834", "\u2824", "\u2804", "\u2804", "\u2824", "\u2820",
    "\u2820", "\u2824", "\u2826", "\u2816", "\u2812", "\u2810", "\u2810", "\u2812",
    "\u2813", "\u280B", "\u2809", "\u2808", "\u2808",
};
constexpr const char* finished_frame = " ";
constexpr std::string_view full_cell = "\u2588";
constexpr std::string_view empty_cell = "\u2591";

constexpr const char* green = "\x1b[32m";
constexpr const char* cyan = "\x1b[36m";
constexpr const char* blue = "\x1b[34m";
constexpr const char* reset = "\x1b[0m";

struct TimeUnit {
    double seconds;
    char letter;
};

// Largest first; each unit is chosen by comparing against the next smaller one.
constexpr TimeUnit time_units[] = {
    {31'536'000, 'y'}, {604'800, 'w'}, {86'400, 'd'}, {3'600, 'h'}, {60, 'm'}, {1, 's'},
};

// Far beyond any real estimate, and small enough that every count fits an integer.
constexpr double longest_shown_duration = 1e15;

// Every character the line uses is one column wide, so columns are code points.
std::size_t code_points(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

// Collects the line's text and its width; colour sequences take no columns.
class LineBuilder {
  public:
    explicit LineBuilder(bool colours) : colours_(colours) { line_.text.reserve(256); }

    void add(std::string_view piece) {
        line_.text += piece;
        line_.columns += code_points(piece);
    }

    void add_repeated(std::string_view piece, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) add(piece);
    }

    void start_colour(const char* sequence) {
        if (colours_) line_.text += sequence;
    }

    void end_colour() {
        if (colours_) line_.text += reset;
    }

    RenderedLine take() { return std::move(line_); }

  private:
    bool colours_;
    RenderedLine line_{};
};

const char* spinner_frame(std::uint64_t step, bool finished) {
    if (finished) return finished_frame;
    return running_frames[step % std::size(running_frames)];
}

}  // namespace

std::string elapsed_clock(std::uint64_t seconds) {
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", static_cast<unsigned>(seconds / 3600 % 24),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    std::uint64_t days = seconds / 86'400;
    if (days == 0) return clock;
    return std::to_string(days) + "d " + clock;
}

std::string compact_duration(double seconds) {
    double shown = seconds > 0 ? std::min(seconds, longest_shown_duration) : 0.0;
    for (std::size_t i = 0; i + 1 < std::size(time_units); ++i) {
        const TimeUnit& unit = time_units[i];
        if (shown + time_units[i + 1].seconds / 2 >= 1.5 * unit.seconds) {
            long long count = std::max(2LL, std::llround(shown / unit.seconds));
            return std::to_string(count) + unit.letter;
        }
    }
    return std::to_string(std::llround(shown)) + 's';
}

std::size_t filled_cells(std::uint64_t position, std::uint64_t length) {
    float fraction =
        length == 0 ? 1.0f
                    : std::min(1.0f, static_cast<float>(position) / static_cast<float>(length));
    return static_cast<std::size_t>(fraction * static_cast<float>(bar_cells));
}

RenderedLine render_line(const LineFields& fields, bool colours) {
    LineBuilder line(colours);
    line.start_colour(green);
    line.add(spinner_frame(fields.spinner_step, fields.finished));
    line.end_colour();

    line.add(" [");
    line.add(elapsed_clock(fields.elapsed_seconds));
    line.add("] [");

    // The empty cells keep their own colour span inside the bar's span.
    std::size_t filled = filled_cells(fields.position, fields.length);
    line.start_colour(cyan);
    line.add_repeated(full_cell, filled);
    line.start_colour(blue);
    line.add_repeated(empty_cell, bar_cells - filled);
    line.end_colour();
    line.end_colour();

    line.add("] ");
    line.add(std::to_string(fields.position));
    line.add("/");
    line.add(std::to_string(fields.length));
    line.add(" (");
    line.add(compact_duration(fields.remaining_seconds));
    line.add(")");
    return line.take();
}

}  // namespace progress
