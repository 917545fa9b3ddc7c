// Working memory of a call that is kept for the next one: a big field pays the first touch of its
// pages once, and a much smaller call gives the memory back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "merge_engine/large_buffer.h"

namespace merge_engine {

// One kind of working buffer per call (point words, counts, cursors, ...).
// Taking one reuses the buffer the last call of the process
// put back when it is big enough and not much bigger than needed; otherwise
// that buffer is freed and a fresh one allocated. The buffer goes back when
// the Scratch is destroyed, whether the call succeeded or failed.
class Scratch {
  public:
    enum Kind { point_words, point_entries, class_counts, record_cursors, kind_count };

    // Room for `count` elements of `element_size` bytes, 8-byte aligned,
    // uninitialised. Throws OutOfMemory when it cannot be obtained.
    Scratch(Kind kind, std::size_t count, std::size_t element_size);
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch();

    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(const_cast<std::uint64_t*>(buffer_.get()));
    }

  private:
    Kind kind_;
    std::size_t capacity_ = 0;
    LargeBuffer<std::uint64_t> buffer_;
};

}  // namespace merge_engine
