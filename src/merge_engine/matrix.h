// Owned row-major matrices of 64-bit floats, the data the merge engine reads and returns.
#pragma once

#include <cstddef>
#include <new>

#include "merge_engine/large_buffer.h"

namespace merge_engine {

class Matrix {
  public:
    Matrix() = default;

    // Values are left uninitialised. Throws std::bad_alloc when the size
    // cannot be represented or the memory cannot be obtained.
    Matrix(std::size_t rows, std::size_t cols)
        : data_(checked_size(rows, cols)), rows_(rows), cols_(cols) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t size() const { return rows_ * cols_; }

    double* data() { return data_.get(); }
    const double* data() const { return data_.get(); }
    double* row(std::size_t r) { return data_.get() + r * cols_; }
    const double* row(std::size_t r) const { return data_.get() + r * cols_; }
    double operator()(std::size_t r, std::size_t c) const { return data_[r * cols_ + c]; }

    // Hands the buffer (null for an empty matrix) to the caller, who must
    // std::free it; the matrix keeps its shape but no longer owns storage.
    double* release() { return data_.release(); }

  private:
    static std::size_t checked_size(std::size_t rows, std::size_t cols) {
        if (cols != 0 && rows > std::size_t(-1) / cols) throw std::bad_alloc();
        return rows * cols;
    }

    LargeBuffer<double> data_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

}  // namespace merge_engine
