// Owned row-major matrices of 64-bit floats, the data the merge engine reads and returns.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace merge_engine {

// The buffer comes from malloc so that whoever takes it over with release()
// can free it knowing nothing but its address.
class Matrix {
  public:
    Matrix() = default;

    // Values are left uninitialised. Throws std::bad_alloc when the size
    // cannot be represented or the memory cannot be obtained.
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols) {
        if (cols != 0 && rows > max_elements / cols) throw std::bad_alloc();
        if (std::size_t count = rows * cols; count != 0) {
            data_.reset(static_cast<double*>(std::malloc(count * sizeof(double))));
            if (!data_) throw std::bad_alloc();
        }
    }

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
    struct FreeDeleter {
        void operator()(double* p) const { std::free(p); }
    };
    static constexpr std::size_t max_elements = std::size_t(-1) / sizeof(double);

    std::unique_ptr<double[], FreeDeleter> data_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

}  // namespace merge_engine
