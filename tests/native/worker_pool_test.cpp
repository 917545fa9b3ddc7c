// The worker pool: every index once, ascending order on one worker, the workers a run wakes,
// failing stretches, and thread starts that run out of memory.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "merge_engine/thread_count.h"
#include "merge_engine/worker_pool.h"

using merge_engine::run_stretches;

namespace {

// Allocations through operator new that may still succeed; negative: all of them.
std::atomic<int> allocations_left{-1};

void* allocate(std::size_t size) {
    int left = allocations_left.load();
    while (left >= 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every allocation of the test program goes through here, so a test can make the next
// ones fail the way they do when memory runs out.
void* operator new(std::size_t size) {
    if (void* memory = allocate(size)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace {

std::size_t threads_of_this_process() {
    std::size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
    return count;
}

// A joined thread may still be listed for a moment while the kernel finishes its exit.
bool threads_drop_to(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (threads_of_this_process() != count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `body` in a forked child, which starts with a pool of its own and no workers,
// and returns the child's exit code.
template <class Body>
int in_child_with_a_fresh_pool(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

UNIT_TEST(every_index_runs_exactly_once_whatever_the_division) {
    struct Case {
        std::size_t count, grain, threads;
    };
    const std::size_t beyond_the_bound = merge_engine::worker_thread_bound() + 3;
    const Case cases[] = {
        {0, 1, 2},    {1, 1, 4},    {2, 1, 2},
        {1000, 1, 3}, {1000, 7, 2}, {1000, 0, 1},
        {5, 100, 4},  {64, 1, 0},   {64, 1, beyond_the_bound},
    };
    for (const Case& c : cases) {
        std::vector<std::atomic<int>> seen(c.count);
        auto body = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
        };
        run_stretches(c.count, c.grain, c.threads, body);
        std::size_t wrong = 0;
        for (const auto& times : seen) wrong += times.load() != 1;
        CHECK_EQ(wrong, std::size_t{0});
    }
}

UNIT_TEST(one_worker_runs_every_stretch_in_ascending_order_off_the_calling_thread) {
    std::vector<std::size_t> order;
    std::set<std::thread::id> threads;
    auto body = [&](std::size_t begin, std::size_t end) {
        threads.insert(std::this_thread::get_id());
        for (std::size_t i = begin; i < end; ++i) order.push_back(i);
    };
    run_stretches(1000, 3, 1, body);
    bool ascending = order.size() == 1000;
    for (std::size_t i = 0; ascending && i < order.size(); ++i) ascending = order[i] == i;
    CHECK(ascending);
    CHECK_EQ(threads.size(), std::size_t{1});
    CHECK(threads.count(std::this_thread::get_id()) == 0);
}

UNIT_TEST(a_single_index_runs_on_the_calling_thread) {
    std::thread::id ran_on;
    auto body = [&](std::size_t, std::size_t) { ran_on = std::this_thread::get_id(); };
    run_stretches(1, 1, 4, body);
    CHECK(ran_on == std::this_thread::get_id());
}

// Each stretch waits until `threads` stretches run at once, so a run that woke fewer
// workers than it may use never gets there.
UNIT_TEST(a_run_wakes_as_many_workers_as_it_may_use_and_no_more) {
    for (std::size_t threads : {2, 3}) {
        std::mutex mutex;
        std::set<std::thread::id> workers;
        std::atomic<std::size_t> arrived{0};
        std::atomic<bool> all_met{true};
        auto body = [&](std::size_t, std::size_t) {
            {
                std::lock_guard lock(mutex);
                workers.insert(std::this_thread::get_id());
            }
            arrived.fetch_add(1);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (arrived.load() < threads) {
                if (std::chrono::steady_clock::now() > deadline) {
                    all_met = false;
                    return;
                }
                std::this_thread::yield();
            }
        };
        run_stretches(threads, 1, threads, body);
        CHECK(all_met.load());
        CHECK_EQ(workers.size(), threads);

        workers.clear();
        arrived = 0;
        auto note_worker = [&](std::size_t, std::size_t) {
            std::lock_guard lock(mutex);
            workers.insert(std::this_thread::get_id());
        };
        run_stretches(4000, 1, threads, note_worker);
        CHECK(workers.size() <= threads);
        CHECK(workers.count(std::this_thread::get_id()) == 0);
    }
}

UNIT_TEST(a_failure_ends_its_stretch_and_the_lowest_failing_stretch_is_rethrown) {
    for (std::size_t threads : {1, 3}) {
        // Stretches of 16: [32, 48) and [64, 80) fail part-way.
        std::vector<std::atomic<int>> seen(128);
        auto body = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == 35 || i == 72) throw std::runtime_error("failed at " + std::to_string(i));
                seen[i].fetch_add(1);
            }
        };
        std::string message;
        try {
            run_stretches(128, 16, threads, body);
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        CHECK_EQ(message, std::string("failed at 35"));
        std::size_t ran = 0;
        for (const auto& times : seen) ran += times.load();
        // All but 35..47 and 72..79, each once.
        CHECK_EQ(ran, std::size_t{128 - 13 - 8});
        CHECK_EQ(seen[34].load() + seen[48].load() + seen[71].load() + seen[80].load(), 4);
    }
}

UNIT_TEST(the_pool_never_grows_beyond_the_bound) {
    const std::size_t bound = merge_engine::worker_thread_bound();
    CHECK_EQ(merge_engine::ensure_pool_threads(1), std::size_t{1});
    CHECK_EQ(merge_engine::ensure_pool_threads(bound + 100), bound);
    CHECK_EQ(in_child_with_a_fresh_pool([&] {
                 std::size_t before = threads_of_this_process();
                 merge_engine::ensure_pool_threads(bound * 10);
                 return threads_of_this_process() == before + bound ? 0 : 1;
             }),
             0);
}

// Thread starts allocate before they start the thread; when that fails, the workers this
// growth started are stopped again and the caller's signal mask is its own again.
UNIT_TEST(a_growth_that_runs_out_of_memory_takes_back_its_workers_and_the_signal_mask) {
    CHECK_EQ(in_child_with_a_fresh_pool([] {
                 sigset_t interrupt;
                 sigemptyset(&interrupt);
                 sigaddset(&interrupt, SIGINT);
                 pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
                 merge_engine::ensure_pool_threads(1);
                 std::size_t before = threads_of_this_process();

                 bool out_of_memory = false;
                 allocations_left = 2;  // two more workers start, the third does not
                 try {
                     merge_engine::ensure_pool_threads(4);
                 } catch (const std::bad_alloc&) {
                     out_of_memory = true;
                 }
                 allocations_left = -1;

                 sigset_t mask;
                 pthread_sigmask(SIG_SETMASK, nullptr, &mask);
                 if (!out_of_memory) return 1;
                 if (sigismember(&mask, SIGINT)) return 2;
                 if (!threads_drop_to(before)) return 3;
                 // Nothing is left half-done: the pool grows again, and runs on its workers.
                 if (merge_engine::ensure_pool_threads(4) != 4) return 4;
                 if (threads_of_this_process() != before + 3) return 5;
                 std::atomic<std::size_t> done{0};
                 auto body = [&](std::size_t begin, std::size_t end) { done += end - begin; };
                 run_stretches(100, 1, 4, body);
                 return done.load() == 100 ? 0 : 6;
             }),
             0);
}
