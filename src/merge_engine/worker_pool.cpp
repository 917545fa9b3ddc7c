// The process-wide worker pool: worker threads, one job at a time, and the halving of work into
// stretches.
#include "merge_engine/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

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

// One parallel for-each. Fields without a comment are guarded by the pool's mutex.
struct Job {
    Job(const std::vector<Stretch>& stretches, StretchFunction body, std::size_t max_threads)
        : stretches(stretches), body(body), max_threads(max_threads) {}

    const std::vector<Stretch>& stretches;
    StretchFunction body;
    std::size_t max_threads;
    std::atomic<std::size_t> next_stretch{0};  // taken without the lock
    std::size_t joined = 0;
    std::size_t running = 0;
    std::size_t failed_stretch = std::numeric_limits<std::size_t>::max();
    std::exception_ptr failure;

    bool all_taken() const { return next_stretch.load() >= stretches.size(); }
};

// The form in which a failed thread start is reported: the operating
// system's error with its number, kind and text.
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

class WorkerPool {
  public:
    void ensure_threads(std::size_t threads) {
        std::lock_guard lock(mutex_);
        while (threads_ < threads) {
            start_worker();
            ++threads_;
        }
    }

    void run(Job& job) {
        std::lock_guard one_job_at_a_time(run_mutex_);
        std::unique_lock lock(mutex_);
        job_ = &job;
        ++job_number_;
        job_posted_.notify_all();
        job_finished_.wait(lock, [&] { return job.all_taken() && job.running == 0; });
        job_ = nullptr;
    }

  private:
    // Workers leave every signal to the interpreter's own threads.
    void start_worker() {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error& error) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            panic(unwrapped_error(thread_start_error(error.code().value())));
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void work() {
        std::uint64_t last_job = 0;
        std::unique_lock lock(mutex_);
        while (true) {
            job_posted_.wait(lock, [&] {
                return job_ != nullptr && job_number_ != last_job &&
                       job_->joined < job_->max_threads;
            });
            last_job = job_number_;
            Job& job = *job_;
            ++job.joined;
            ++job.running;
            lock.unlock();
            take_stretches(job);
            lock.lock();
            if (--job.running == 0) job_finished_.notify_all();
        }
    }

    void take_stretches(Job& job) {
        while (true) {
            std::size_t index = job.next_stretch.fetch_add(1);
            if (index >= job.stretches.size()) return;
            try {
                job.body(job.stretches[index].begin, job.stretches[index].end);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (index < job.failed_stretch) {
                    job.failed_stretch = index;
                    job.failure = std::current_exception();
                }
            }
        }
    }

    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable job_posted_;
    std::condition_variable job_finished_;
    Job* job_ = nullptr;
    std::uint64_t job_number_ = 0;
    std::size_t threads_ = 0;
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
        pool = new WorkerPool();  // never destroyed: workers may outlive static destruction
    }
    return *pool;
}

}  // namespace

void ensure_pool_threads(std::size_t threads) {
    the_pool().ensure_threads(threads);
}

void run_stretches(std::size_t count, std::size_t grain, std::size_t threads,
                   StretchFunction body) {
    if (count < 2) {
        if (count == 1) body(0, 1);
        return;
    }
    std::vector<Stretch> stretches;
    halve(0, count, grain == 0 ? 1 : grain, stretches);
    Job job(stretches, body, threads == 0 ? 1 : threads);
    the_pool().run(job);
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace merge_engine
