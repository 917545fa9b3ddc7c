// The row merge task: own keys, gathered points, own record, then trimming against each neighbour
// slot in order.
#include "merge_engine/row_merge_task.h"

#include <cmath>

#include "merge_engine/overlap_trimming.h"
#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

constexpr std::size_t neighbour_slots = 4;
constexpr std::size_t first_slot_column = 3;
constexpr std::size_t point_coordinate_columns = 4;  // keys, then x and y

double cell(const Matrix& matrix, std::size_t row, std::size_t column) {
    if (column >= matrix.cols()) panic(index_out_of_bounds);
    return matrix(row, column);
}

}  // namespace

std::size_t merge_row(const TaskContext& context, std::size_t record, std::size_t* kept) {
    const Matrix& record_row = context.connected_crop_rows;
    KeyPair own = {converted_key(cell(record_row, record, 1)),
                   converted_key(cell(record_row, record, 2))};

    PointSpan gathered = context.points.gather(own);
    std::size_t count = gathered.end - gathered.begin;
    for (std::size_t i = 0; i < count; ++i) kept[i] = context.points.point_row(gathered.begin + i);

    std::size_t own_record = context.row_information.own_record(own);

    // Each neighbour trims what the neighbours before it left. A NaN first
    // key ends the list; the second key is never tested for NaN.
    for (std::size_t slot = 0; slot < neighbour_slots; ++slot) {
        double first = cell(record_row, record, first_slot_column + 2 * slot);
        if (std::isnan(first)) break;
        double second = cell(record_row, record, first_slot_column + 2 * slot + 1);
        std::size_t neighbour_record = context.row_information.neighbour_record(first, second);
        EndpointMatrix current = context.row_information.endpoint_matrix(own_record);
        EndpointMatrix neighbour = context.row_information.endpoint_matrix(neighbour_record);
        if (count != 0 && context.points_in_rows.cols() < point_coordinate_columns)
            panic(index_out_of_bounds);
        count = trim_points_against_neighbour({kept, count}, context.points_in_rows, current,
                                              neighbour, context.tolerance);
    }
    return count;
}

}  // namespace merge_engine
