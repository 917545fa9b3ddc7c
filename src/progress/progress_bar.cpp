// The progress bar's state: position, limiters, spinner, rate, and when it draws.
#include "progress/progress_bar.h"

#include <limits>
#include <new>

#include "progress/line_format.h"
#include "progress/terminal_choice.h"

namespace progress {

namespace {

// Times are kept in microseconds since the bar was created.
constexpr std::uint64_t microseconds_per_second = 1'000'000;

// However fast records finish, at most a burst of 10 advances and then one
// per millisecond take the state lock.
constexpr std::uint8_t advance_burst = 10;
constexpr std::uint64_t advance_interval = 1'000;

// A burst of 20 redraws, then 20 per second.
constexpr std::uint8_t redraw_burst = 20;
constexpr std::uint64_t redraw_interval = 50'000;

double remaining_seconds(std::uint64_t position, std::uint64_t length, double rate, bool finished) {
    if (finished || rate <= 0) return 0.0;
    std::uint64_t remaining = length > position ? length - position : 0;
    return static_cast<double>(remaining) / rate;
}

}  // namespace

// The environment is read here, on the calling thread, rather than by the
// worker that happens to draw first.
ProgressBar::ProgressBar(std::uint64_t length, bool may_draw)
    : length_(length),
      start_(Clock::now()),
      advance_limiter_(advance_burst, advance_interval),
      redraw_limiter_(redraw_burst, redraw_interval) {
    if (may_draw && stderr_is_colour_terminal()) {
        terminal_.emplace();
        colours_ = colours_enabled();
    }
}

// A bar dropped unfinished, when a record failed, leaves its last line as it was.
ProgressBar::~ProgressBar() = default;

void ProgressBar::advance(std::uint64_t count) {
    position_.fetch_add(count, std::memory_order_relaxed);
    std::uint64_t now = microseconds_since_start(Clock::now());
    if (!advance_limiter_.try_acquire(now)) return;

    std::lock_guard lock(state_mutex_);
    if (spinner_step_ != std::numeric_limits<std::uint64_t>::max()) ++spinner_step_;
    rate_.record(position_.load(std::memory_order_relaxed),
                 static_cast<double>(now) / microseconds_per_second);
    if (redraw_limiter_.try_acquire(now)) draw(now);
}

void ProgressBar::finish() {
    position_.store(length_, std::memory_order_relaxed);
    std::lock_guard lock(state_mutex_);
    finished_ = true;
    draw(microseconds_since_start(Clock::now()));
}

std::uint64_t ProgressBar::microseconds_since_start(Clock::time_point now) const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count());
}

void ProgressBar::draw(std::uint64_t now) noexcept {
    if (!terminal_) return;
    std::uint64_t position = position_.load(std::memory_order_relaxed);
    LineFields fields{
        .spinner_step = spinner_step_,
        .finished = finished_,
        .elapsed_seconds = now / microseconds_per_second,
        .position = position,
        .length = length_,
        .remaining_seconds = remaining_seconds(position, length_, rate_.per_second(), finished_),
    };
    // A frame is worth less than the call: without memory for it, skip it.
    try {
        terminal_->redraw(render_line(fields, colours_));
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace progress
