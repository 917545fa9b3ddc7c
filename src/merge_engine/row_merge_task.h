// The work for one connected-row record: the rows of points_in_rows that survive for it.
#pragma once

#include <cstddef>
#include <vector>

#include "merge_engine/matrix.h"

namespace merge_engine {

struct MergeInputs {
    const Matrix& connected_crop_rows;
    const Matrix& points_in_rows;
    const Matrix& row_information;
    double tolerance;
};

// Row indices of points_in_rows that the record `record` publishes, in the
// order they appear in the result.
std::vector<std::size_t> merge_row(const MergeInputs& inputs, std::size_t record);

}  // namespace merge_engine
