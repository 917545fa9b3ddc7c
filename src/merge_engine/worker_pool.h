// The process-wide worker pool and its parallel for-each over contiguous stretches of indices.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace merge_engine {

// A non-owning reference to a callable `void(std::size_t begin, std::size_t end)`.
class StretchFunction {
  public:
    template <class F>
        requires(std::is_invocable_v<F&, std::size_t, std::size_t> &&
                 !std::is_same_v<std::remove_cv_t<F>, StretchFunction>)
    StretchFunction(F& f)
        : object_(&f),
          call_([](void* o, std::size_t b, std::size_t e) { (*static_cast<F*>(o))(b, e); }) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

  private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// A worker that has had no work for 5 seconds exits, so a process that once
// asked for many threads gets back to the few its recent calls use. Calls
// always use the lowest-numbered workers, so the ones that go are those that
// recent calls did not need. (Tests change the 5 seconds; see worker_pool.cpp.)

// Makes sure the process-wide pool has min(threads, worker_thread_bound())
// workers, creating the pool on first use, and returns that count. When a
// thread cannot be started, the workers this growth started are stopped and
// joined, so the pool and the process hold what they held before, and it
// panics with the pool's build error (std::bad_alloc passes through as it is).
std::size_t ensure_pool_threads(std::size_t threads);

// Runs body(begin, end) over [0, count), divided by repeated halving into
// contiguous stretches of at most `grain` indices. A single index runs on
// the calling thread without the pool. Otherwise min(threads, stretches,
// worker_thread_bound()) workers of the pool take part, and only they are
// woken: always the lowest-numbered ones, started first if an idle time took
// them (failing as ensure_pool_threads does). Each takes the lowest stretch
// not yet taken, so a single worker runs the whole range in ascending order.
// The calling thread only waits; one run at a time uses the pool, and body
// must not call run_stretches itself. An exception ends its own stretch; the
// others run to their end, then the exception of the lowest failing stretch
// is rethrown here.
void run_stretches(std::size_t count, std::size_t grain, std::size_t threads, StretchFunction body);

}  // namespace merge_engine
