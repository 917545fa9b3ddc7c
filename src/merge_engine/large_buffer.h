// LargeBuffer: uninitialised heap storage for big arrays, backed by huge pages where the system
// offers them.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace merge_engine {

// The buffer comes from the malloc family, so whoever takes it over with
// release() can free it with std::free knowing nothing but its address.
// Fresh memory costs a page fault per 4 KiB page, which for the result of a
// call costs more than writing it; so big buffers are laid out on whole
// 2 MiB pages and ask for transparent huge pages, which fault once per 2 MiB.
template <class T>
class LargeBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    LargeBuffer() = default;

    // Throws std::bad_alloc when `count` elements cannot be represented or obtained.
    explicit LargeBuffer(std::size_t count) {
        if (count == 0) return;
        if (count > (std::size_t(-1) - huge_page) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = count * sizeof(T);
        if (bytes < huge_page_threshold) {
            data_.reset(static_cast<T*>(std::malloc(bytes)));
        } else {
            bytes = (bytes + huge_page - 1) / huge_page * huge_page;
            data_.reset(static_cast<T*>(std::aligned_alloc(huge_page, bytes)));
            if (data_) ::madvise(data_.get(), bytes, MADV_HUGEPAGE);
        }
        if (!data_) throw std::bad_alloc();
    }

    T* get() { return data_.get(); }
    const T* get() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    // Hands the storage (null when empty) to the caller, who must std::free it.
    T* release() { return data_.release(); }

  private:
    static constexpr std::size_t huge_page = std::size_t(2) << 20;
    static constexpr std::size_t huge_page_threshold = std::size_t(1) << 20;

    struct FreeDeleter {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], FreeDeleter> data_;
};

}  // namespace merge_engine
