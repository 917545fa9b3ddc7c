// The entry of the merge engine: runs every connected-row record on the worker pool and stacks the
// survivors.
#pragma once

#include <cstdint>

#include "merge_engine/matrix.h"

namespace merge_engine {

// Returns the surviving point rows as one row-major matrix with the columns
// of points_in_rows: record 0's rows first, then record 1's, and so on.
// Failures throw Panic (after writing their report) or std::bad_alloc.
Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance,
                             std::uint64_t num_threads);

}  // namespace merge_engine
