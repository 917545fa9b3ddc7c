// The terminal progress bar of one merge call: counts finished records on stderr.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "progress/burst_limiter.h"
#include "progress/rate_estimate.h"
#include "progress/terminal_line.h"

namespace progress {

// One bar per call. Created hidden unless stderr is a colour-capable terminal;
// a hidden bar does all its bookkeeping and writes nothing.
class ProgressBar {
  public:
    // Hidden, whatever stderr is, unless `may_draw`.
    ProgressBar(std::uint64_t length, bool may_draw);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    // Counts `count` more finished records; may redraw. Safe from any thread.
    void advance(std::uint64_t count = 1);

    // Sets the position to the length and draws the final line. Called once,
    // on the calling thread, after every record has been advanced.
    void finish();

    std::uint64_t length() const { return length_; }

  private:
    using Clock = std::chrono::steady_clock;

    std::uint64_t microseconds_since_start(Clock::time_point now) const;
    void draw(std::uint64_t now) noexcept;

    const std::uint64_t length_;
    const Clock::time_point start_;
    std::atomic<std::uint64_t> position_{0};
    BurstLimiter advance_limiter_;

    // Everything below is used under state_mutex_ only.
    std::mutex state_mutex_;
    BurstLimiter redraw_limiter_;
    std::uint64_t spinner_step_ = 0;
    bool finished_ = false;
    RateEstimate rate_;
    std::optional<TerminalLine> terminal_;  // empty: hidden
    bool colours_ = false;
};

}  // namespace progress
