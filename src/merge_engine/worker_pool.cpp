// The process-wide worker pool: numbered workers woken one by one, one job at a time, idle
// workers that exit, and the halving of work into stretches.
#include "merge_engine/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "merge_engine/panic.h"
#include "merge_engine/thread_count.h"

namespace merge_engine {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds default_idle_time{5000};
// Long enough for any test, short enough that a deadline never overflows the clock.
constexpr std::uint64_t longest_idle_milliseconds = 24 * 60 * 60 * 1000;

// How long a worker waits for work before it exits. Tests of the exits set
// "_NATIVE_WORKER_IDLE_MS" to a whole number of milliseconds (up to a day), to see them
// without waiting, or to keep workers whatever the load; anything else leaves the
// default. It is read once, when the pool is made, and is not meant for users.
std::chrono::milliseconds idle_time_from_environment() {
    const char* text = std::getenv("_NATIVE_WORKER_IDLE_MS");
    if (text == nullptr) return default_idle_time;
    const char* end = text + std::strlen(text);
    std::uint64_t milliseconds = 0;
    auto [stop, error] = std::from_chars(text, end, milliseconds);
    if (error != std::errc() || stop != end || milliseconds > longest_idle_milliseconds)
        return default_idle_time;
    return std::chrono::milliseconds(milliseconds);
}

struct Stretch {
    std::size_t begin;
    std::size_t end;
};

// Lower half first, so the list comes out in ascending order.
void halve(std::size_t begin, std::size_t end, std::size_t grain, std::vector<Stretch>& out) {
    if (end - begin <= grain) {
        out.push_back({begin, end});
        return;
    }
    std::size_t middle = begin + (end - begin) / 2;
    halve(begin, middle, grain, out);
    halve(middle, end, grain, out);
}

// One parallel for-each. Fields without a comment are guarded by the pool's workers_mutex_.
struct Job {
    Job(const std::vector<Stretch>& stretches, StretchFunction body)
        : stretches(stretches), body(body) {}

    const std::vector<Stretch>& stretches;
    StretchFunction body;
    std::atomic<std::size_t> next_stretch{0};  // taken without the lock
    std::size_t running = 0;                   // workers given the job and not done with it
    std::size_t failed_stretch = std::numeric_limits<std::size_t>::max();
    std::exception_ptr failure;
};

// The place of one numbered worker. Slots live as long as the pool, so a worker that
// exits leaves nothing another thread could still reach, and a later worker takes its
// place. Guarded by the pool's workers_mutex_, except `thread`, which only growths touch.
struct Slot {
    std::condition_variable wake;
    Job* job = nullptr;  // given to this worker and not yet taken
    Clock::time_point last_used;
    bool stop = false;   // exit at once: the growth that started it failed
    std::thread thread;  // joinable only while the growth that started it runs
};

// The form in which a failed thread start is reported: the operating
// system's error with its number, kind and text. Callers match this text
// exactly (the README documents it as the message of the PanicException), so
// its form is part of the module's interface.
std::string thread_start_error(int code) {
    const char* kind = "Uncategorized";
    switch (code) {
        case EAGAIN:
            kind = "WouldBlock";
            break;
        case ENOMEM:
            kind = "OutOfMemory";
            break;
        case EPERM:
            kind = "PermissionDenied";
            break;
        case EINVAL:
            kind = "InvalidInput";
            break;
    }
    return "ThreadPoolBuildError { kind: IOError(Os { code: " + std::to_string(code) +
           ", kind: " + kind + ", message: \"" + std::strerror(code) + "\" }) }";
}

// Blocks every signal on the calling thread while it lives. Threads started meanwhile
// inherit the full mask, so workers leave every signal to the interpreter's own threads;
// the caller gets its own mask back however the scope is left.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

// A job goes to the lowest-numbered workers, and each is woken on its own, so a job wakes
// exactly the workers it uses, and the highest-numbered ones are those recent jobs did not
// need.
//
// The exit rule, which keeps the workers numbered without gaps: workers 0 .. live_ - 1 run;
// only the highest-numbered one, live_ - 1, waits with a deadline (its last use plus
// idle_time_), and the others wait without one. When that deadline passes with no job,
// it lowers live_ and wakes the worker below, which is then the highest and starts waiting
// for its own deadline. Whatever lowers live_ (an exit, or a growth taking its workers back)
// wakes the new highest worker; a growth that raises live_ needs to wake no one, since the
// worker that was highest finds at its deadline that it no longer is, and waits on.
class WorkerPool {
  public:
    explicit WorkerPool(std::size_t bound)
        : idle_time_(idle_time_from_environment()), slots_(std::make_unique<Slot[]>(bound)) {}

    void ensure_workers(std::size_t wanted) {
        std::lock_guard one_at_a_time(control_mutex_);
        std::unique_lock lock(workers_mutex_);
        grow(lock, wanted);
        // The call that asked will use them soon: none goes idle before it does.
        Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < wanted; ++i) slots_[i].last_used = now;
    }

    void run(Job& job, std::size_t workers) {
        std::lock_guard one_at_a_time(control_mutex_);
        std::unique_lock lock(workers_mutex_);
        grow(lock, workers);
        job.running = workers;
        for (std::size_t i = 0; i < workers; ++i) slots_[i].job = &job;
        lock.unlock();
        // Slots outlive their workers, and a worker with a job does not exit.
        for (std::size_t i = 0; i < workers; ++i) slots_[i].wake.notify_one();
        lock.lock();
        job_done_.wait(lock, [&] { return job.running == 0; });
    }

  private:
    // Starts workers until `wanted` run. When a start fails, the workers this growth
    // started are taken back before the failure goes on.
    void grow(std::unique_lock<std::mutex>& lock, std::size_t wanted) {
        std::size_t before = live_;
        if (before >= wanted) return;
        try {
            AllSignalsBlocked blocked;
            for (; live_ < wanted; ++live_) start_worker(live_);
        } catch (...) {
            take_back(lock, before);
            throw;
        }
        for (std::size_t i = before; i < live_; ++i) slots_[i].thread.detach();
    }

    void start_worker(std::size_t index) {
        Slot& slot = slots_[index];
        slot.job = nullptr;
        slot.stop = false;
        slot.last_used = Clock::now();
        try {
            slot.thread = std::thread([this, index] { work(index); });
        } catch (const std::system_error& error) {
            panic(unwrapped_error(thread_start_error(error.code().value())));
        }
    }

    // Stops and joins the workers from `first` up. The control mutex is held, so no job
    // or growth reaches them meanwhile.
    void take_back(std::unique_lock<std::mutex>& lock, std::size_t first) {
        std::size_t end = live_;
        live_ = first;
        for (std::size_t i = first; i < end; ++i) slots_[i].stop = true;
        if (first > 0) slots_[first - 1].wake.notify_one();  // the highest now (the exit rule)
        lock.unlock();
        for (std::size_t i = first; i < end; ++i) {
            slots_[i].wake.notify_one();
            slots_[i].thread.join();
        }
        lock.lock();
    }

    void work(std::size_t index) {
        Slot& slot = slots_[index];
        std::unique_lock lock(workers_mutex_);
        // The exit rule (see the class): only the highest-numbered worker has a deadline.
        while (!slot.stop) {
            if (slot.job != nullptr) {
                Job& job = *std::exchange(slot.job, nullptr);
                lock.unlock();
                take_stretches(job);
                lock.lock();
                slot.last_used = Clock::now();
                if (--job.running == 0) job_done_.notify_one();
            } else if (index + 1 < live_) {
                slot.wake.wait(lock);
            } else if (Clock::now() < slot.last_used + idle_time_) {
                slot.wake.wait_until(lock, slot.last_used + idle_time_);
            } else {
                --live_;
                if (index > 0) slots_[index - 1].wake.notify_one();
                return;
            }
        }
    }

    void take_stretches(Job& job) {
        while (true) {
            std::size_t index = job.next_stretch.fetch_add(1);
            if (index >= job.stretches.size()) return;
            try {
                job.body(job.stretches[index].begin, job.stretches[index].end);
            } catch (...) {
                std::lock_guard lock(workers_mutex_);
                if (index < job.failed_stretch) {
                    job.failed_stretch = index;
                    job.failure = std::current_exception();
                }
            }
        }
    }

    const std::chrono::milliseconds idle_time_;
    std::mutex control_mutex_;  // one job or growth at a time
    // Guards what the workers share: live_, their slots (but the threads) and, of the job
    // they run, the count still running and the failure; a worker holds it except while it
    // runs stretches.
    std::mutex workers_mutex_;
    std::condition_variable job_done_;
    std::unique_ptr<Slot[]> slots_;  // worker_thread_bound() of them
    std::size_t live_ = 0;
};

std::mutex pool_creation;
WorkerPool* pool = nullptr;

// A forked child inherits the pool's memory but none of its threads: it
// abandons the old pool and builds its own on its next call.
void lock_before_fork() {
    pool_creation.lock();
}
void unlock_in_parent() {
    pool_creation.unlock();
}
void forget_pool_in_child() {
    pool = nullptr;
    pool_creation.unlock();
}

WorkerPool& the_pool() {
    std::lock_guard lock(pool_creation);
    if (pool == nullptr) {
        static bool fork_handlers =
            (pthread_atfork(lock_before_fork, unlock_in_parent, forget_pool_in_child), true);
        (void)fork_handlers;
        // Never destroyed: workers may outlive static destruction.
        pool = new WorkerPool(worker_thread_bound());
    }
    return *pool;
}

}  // namespace

std::size_t ensure_pool_threads(std::size_t threads) {
    std::size_t workers = std::min(threads, worker_thread_bound());
    the_pool().ensure_workers(workers);
    return workers;
}

void run_stretches(std::size_t count, std::size_t grain, std::size_t threads,
                   StretchFunction body) {
    if (count < 2) {
        if (count == 1) body(0, 1);
        return;
    }
    std::vector<Stretch> stretches;
    halve(0, count, grain == 0 ? 1 : grain, stretches);
    std::size_t workers =
        std::min({std::max<std::size_t>(threads, 1), stretches.size(), worker_thread_bound()});
    Job job(stretches, body);
    the_pool().run(job, workers);
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace merge_engine
