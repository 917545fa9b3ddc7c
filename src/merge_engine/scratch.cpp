// The process-wide cache behind Scratch: at most one buffer of each kind.
#include "merge_engine/scratch.h"

#include <mutex>
#include <string>
#include <utility>

#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

// A cached buffer is reused for a call that needs at least this share of it.
constexpr std::size_t reuse_ratio = 4;

struct Cached {
    std::size_t capacity = 0;
    LargeBuffer<std::uint64_t> buffer;
};

// Calls on several Python threads (or interpreters without the global lock)
// may take and give back at the same time.
std::mutex cache_mutex;
Cached cache[Scratch::kind_count];

std::size_t words_for(std::size_t bytes) {
    return bytes / sizeof(std::uint64_t) + (bytes % sizeof(std::uint64_t) != 0);
}

}  // namespace

Scratch::Scratch(Kind kind, std::size_t count, std::size_t element_size) : kind_(kind) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, element_size, &bytes))
        throw OutOfMemory("the merge needs more than 2^64 bytes of working memory");
    std::size_t words = words_for(bytes);
    LargeBuffer<std::uint64_t> stale;  // freed outside the lock
    {
        std::lock_guard lock(cache_mutex);
        Cached& cached = cache[kind];
        if (cached.capacity >= words && cached.capacity / reuse_ratio <= words) {
            capacity_ = std::exchange(cached.capacity, 0);
            buffer_ = std::move(cached.buffer);
            return;
        }
        stale = std::move(cached.buffer);
        cached.capacity = 0;
    }
    stale = LargeBuffer<std::uint64_t>();
    try {
        buffer_ = LargeBuffer<std::uint64_t>(words);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("the merge needs " + std::to_string(bytes) +
                          " bytes of working memory, which could not be allocated");
    }
    capacity_ = words;
}

// The buffer of the latest call wins a free place; any other is freed.
Scratch::~Scratch() {
    if (capacity_ == 0) return;
    LargeBuffer<std::uint64_t> stale;
    std::lock_guard lock(cache_mutex);
    Cached& cached = cache[kind_];
    stale = std::move(cached.buffer);
    cached.buffer = std::move(buffer_);
    cached.capacity = capacity_;
}

}  // namespace merge_engine
