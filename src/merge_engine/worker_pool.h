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

// Makes sure the process-wide pool has at least `threads` workers, creating
// the pool on first use. Workers are never stopped. Panics with the pool's
// build error when a thread cannot be started.
void ensure_pool_threads(std::size_t threads);

// Runs body(begin, end) over [0, count), divided by repeated halving into
// contiguous stretches of at most `grain` indices. A single index runs on
// the calling thread without the pool. Otherwise at most `threads` workers
// of the pool take part, each taking the lowest stretch not yet taken, so a
// single worker runs the whole range in ascending order. The calling thread
// only waits. An exception ends its own stretch; the others run to their end,
// then the exception of the lowest failing stretch is rethrown here.
void run_stretches(std::size_t count, std::size_t grain, std::size_t threads, StretchFunction body);

}  // namespace merge_engine
