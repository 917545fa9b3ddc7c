// The terminal progress bar of one merge call: counts finished records on stderr.
#pragma once

#include <cstdint>

namespace progress {

// One bar per call. Created hidden unless stderr is a colour-capable terminal;
// a hidden bar does all its bookkeeping and writes nothing.
class ProgressBar {
  public:
    explicit ProgressBar(std::uint64_t length);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    // Counts one finished record; may redraw. Safe from any thread.
    void advance();

    // Sets the position to the length and draws the final line. Called once,
    // on the calling thread, after every record has been advanced.
    void finish();

    std::uint64_t length() const { return length_; }

  private:
    std::uint64_t length_;
};

}  // namespace progress
