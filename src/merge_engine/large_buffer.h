// LargeBuffer: uninitialised heap storage for big arrays, backed by huge pages where the system
// offers them.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace merge_engine {

// The buffer comes from malloc, so whoever takes it over with release() can
// free it with std::free knowing nothing but its address. Big buffers ask
// for transparent huge pages: first touching 4 KiB pages one fault at a time
// costs more than copying the data into them.
template <class T>
class LargeBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    LargeBuffer() = default;

    // Throws std::bad_alloc when `count` elements cannot be represented or obtained.
    explicit LargeBuffer(std::size_t count) {
        if (count == 0) return;
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = count * sizeof(T);
        data_.reset(static_cast<T*>(std::malloc(bytes)));
        if (!data_) throw std::bad_alloc();
        if (bytes >= huge_page_threshold) advise_huge_pages(data_.get(), bytes);
    }

    T* get() { return data_.get(); }
    const T* get() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    // Hands the storage (null when empty) to the caller, who must std::free it.
    T* release() { return data_.release(); }

  private:
    static constexpr std::size_t huge_page_threshold = std::size_t(4) << 20;

    static void advise_huge_pages(void* start, std::size_t bytes) {
        constexpr std::uintptr_t page = 4096;
        auto begin = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
        auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
        if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }

    struct FreeDeleter {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], FreeDeleter> data_;
};

}  // namespace merge_engine
