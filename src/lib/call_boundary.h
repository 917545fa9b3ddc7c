// The entry point of merge_points_removing_overlap: binding, conversion, the merge, and the result
// array.
#pragma once

#include "lib/py_ref.h"

namespace native {

// Fast-call entry: `self` is always null (the function is static); keyword
// values follow the positional ones in `args`. Returns a new reference, or
// null with an exception set.
PyObject* merge_points_removing_overlap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;

}  // namespace native
