// The entry of the merge engine: plans every connected-row record, sweeps the points twice on the
// worker pool, and returns the survivors as one matrix.
#pragma once

#include <cstdint>

#include "merge_engine/matrix.h"

namespace merge_engine {

// Returns the surviving point rows as one row-major matrix with the columns
// of points_in_rows: record 0's rows first, then record 1's, and so on. The
// inputs are read in place and must not change during the call. The
// progress bar draws only when `may_draw_progress`. Failures throw Panic
// (the lowest-numbered failing record's, counting the others) or
// std::bad_alloc.
Matrix multithreaded_merging(const MatrixView& connected_crop_rows,
                             const MatrixView& points_in_rows, const MatrixView& row_information,
                             double tolerance, std::uint64_t num_threads, bool may_draw_progress);

}  // namespace merge_engine
