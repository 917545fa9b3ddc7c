// The two process-wide Python types of the module: PanicException and PySliceContainer.
#pragma once

#include "lib/py_ref.h"

#include <cstddef>

namespace native {

// The PanicException type (borrowed), created on first use and kept for the
// life of the process; null with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Frees a buffer of `capacity` doubles that starts at `data`.
using BufferRelease = void (*)(double* data, std::size_t length, std::size_t capacity);

// A new PySliceContainer that owns the buffer and calls `release` once when
// it is deallocated. On failure it throws PythonErrorSet and the caller
// still owns the buffer.
PyRef make_slice_container(double* data, std::size_t length, std::size_t capacity,
                           BufferRelease release);

}  // namespace native
