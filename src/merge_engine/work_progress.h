// Progress of one call in units of work, shown on the progress bar as finished records.
#pragma once

#include <atomic>
#include <cstdint>

#include "progress/progress_bar.h"

namespace merge_engine {

// A record is finished only once its last survivor is written, at the end
// of the call, so the bar shows the share of the call's work that is done,
// as that many of its records: it moves through the whole call, and only
// the bar's finish shows every record done, so a call that fails never does.
class WorkProgress {
  public:
    WorkProgress(progress::ProgressBar& bar, std::uint64_t total_units)
        : bar_(bar), total_(total_units) {}

    // Counts `units` more as done; safe from any thread.
    void add(std::uint64_t units) {
        std::uint64_t before = done_.fetch_add(units, std::memory_order_relaxed);
        std::uint64_t from = records_at(before);
        std::uint64_t to = records_at(before + units);
        if (to > from) bar_.advance(to - from);
    }

  private:
    std::uint64_t records_at(std::uint64_t done) const {
        unsigned __int128 share = static_cast<unsigned __int128>(bar_.length()) * done;
        return static_cast<std::uint64_t>(share / (static_cast<unsigned __int128>(total_) + 1));
    }

    progress::ProgressBar& bar_;
    const std::uint64_t total_;
    std::atomic<std::uint64_t> done_{0};
};

}  // namespace merge_engine
