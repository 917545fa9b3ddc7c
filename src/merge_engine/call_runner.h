// How the parallel steps of one call run: on the worker pool, or all on the calling thread.
#pragma once

#include <algorithm>
#include <cstddef>

#include "merge_engine/worker_pool.h"

namespace merge_engine {

// A call too small to be worth waking workers for runs every step on the
// calling thread; otherwise each step's stretches go to the pool.
class CallRunner {
  public:
    CallRunner(std::size_t threads, bool on_calling_thread)
        : threads_(threads), on_calling_thread_(on_calling_thread) {}

    std::size_t threads() const { return on_calling_thread_ ? 1 : threads_; }

    // body(begin, end) over [0, count), in stretches of at most `grain`.
    template <class Body>
    void run(std::size_t count, std::size_t grain, Body&& body) const {
        if (on_calling_thread_ || count < 2)
            body(std::size_t{0}, count);
        else
            run_stretches(count, grain, threads_, body);
    }

    // body(index) for each index of [0, count), one index per stretch.
    template <class Body>
    void for_each(std::size_t count, Body&& body) const {
        auto stretch = [&](std::size_t begin, std::size_t end) {
            for (std::size_t index = begin; index < end; ++index) body(index);
        };
        run(count, 1, stretch);
    }

    // A grain that gives every worker several stretches, so that one slow
    // stretch does not leave the others idle.
    std::size_t grain_for(std::size_t count) const {
        constexpr std::size_t stretches_per_thread = 16;
        return std::max<std::size_t>(1, count / (threads() * stretches_per_thread));
    }

  private:
    std::size_t threads_;
    bool on_calling_thread_;
};

}  // namespace merge_engine
