// The row merge task: the points one connected-row record publishes, trimmed against its
// neighbours.
#pragma once

#include <cstddef>

#include "merge_engine/matrix.h"
#include "merge_engine/point_groups.h"
#include "merge_engine/row_information_index.h"

namespace merge_engine {

// What every task of a call reads; built once, shared without locking.
struct TaskContext {
    const Matrix& connected_crop_rows;
    const Matrix& points_in_rows;
    const PointGroups& points;
    const RowInformationIndex& row_information;
    double tolerance;
};

// Writes the rows of points_in_rows that record `record` publishes, in row
// order, to `kept`, which has room for every point the record gathers, and
// returns how many there are. Fails (see panic.h) as soon as a step reads a
// column or a record that is not there.
std::size_t merge_row(const TaskContext& context, std::size_t record, std::size_t* kept);

}  // namespace merge_engine
