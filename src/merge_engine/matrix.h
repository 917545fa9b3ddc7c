// The engine's 2-d data: read-only views of the caller's arrays, and the owned row-major result.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>

#include "merge_engine/large_buffer.h"

namespace merge_engine {

// A matrix of doubles in memory the caller owns, read in place: element
// (r, c) lies at data + r * row_stride + c * column_stride, in bytes. Strides
// may be negative, zero or not multiples of 8, and the data unaligned, so
// every element is read with memcpy, which compiles to a plain load.
class MatrixView {
  public:
    MatrixView() = default;
    MatrixView(const char* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
               std::ptrdiff_t column_stride)
        : data_(data),
          rows_(rows),
          cols_(cols),
          row_stride_(row_stride),
          column_stride_(column_stride) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::ptrdiff_t column_stride() const { return column_stride_; }

    // Each row's values lie next to each other, so a row is one block of bytes.
    bool rows_are_packed() const { return column_stride_ == sizeof(double); }

    const char* row(std::size_t r) const {
        return data_ + static_cast<std::ptrdiff_t>(r) * row_stride_;
    }
    double operator()(std::size_t r, std::size_t c) const { return at(row(r), c); }

    // Value `c` of a row returned by row().
    double at(const char* row, std::size_t c) const {
        double value;
        std::memcpy(&value, row + static_cast<std::ptrdiff_t>(c) * column_stride_, sizeof value);
        return value;
    }

  private:
    const char* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t column_stride_ = 0;
};

// An owned row-major matrix of doubles.
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
