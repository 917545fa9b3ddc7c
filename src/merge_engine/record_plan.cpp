// The steps of one connected-row record up to its points: own keys, the gather's column checks,
// its own record, and a keep test per neighbour slot.
#include "merge_engine/record_plan.h"

#include <cmath>
#include <string>

#include "merge_engine/key_text.h"
#include "merge_engine/panic.h"

namespace merge_engine {

namespace {

constexpr std::size_t first_slot_column = 3;

std::string columns_text(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " column" : " columns");
}

// "record 17 (row 17 of connected_crop_rows): "
std::string record_note_prefix(std::size_t record) {
    std::string row = std::to_string(record);
    return "record " + row + " (row " + row + " of connected_crop_rows): ";
}

}  // namespace

RecordPlanner::RecordPlanner(const MatrixView& connected_crop_rows,
                             const std::vector<KeyPair>& own_keys, const MatrixView& points_in_rows,
                             const RowInformationIndex& row_information, const GroupFinder& groups,
                             const std::vector<std::size_t>& gathered, double tolerance)
    : connected_(connected_crop_rows),
      own_keys_(own_keys),
      points_(points_in_rows),
      row_information_(row_information),
      groups_(groups),
      gathered_(gathered),
      tolerance_(tolerance),
      point_first_keys_(points_in_rows.cols() == 1 ? points_in_rows.rows() : 0) {
    if (points_.cols() == 1) {
        for (std::size_t row = 0; row < points_.rows(); ++row)
            point_first_keys_.insert_first({converted_key(points_(row, 0)), 0}, row);
    }
}

KeyPair RecordPlanner::own_crop_row(std::size_t record) const {
    if (connected_.cols() < 3)
        panic(index_out_of_bounds, "connected_crop_rows has " + columns_text(connected_.cols()) +
                                       "; a record's own crop row is read from columns 1 and 2");
    return own_keys_[record];
}

// A scan of the points reads column 0 of every row, and column 1 of those
// whose column 0 matches.
void RecordPlanner::check_gather(KeyPair own) const {
    if (points_.rows() == 0) return;
    if (points_.cols() == 0)
        panic(index_out_of_bounds,
              "points_in_rows has 0 columns; gathering a crop row's points reads columns 0 and 1 "
              "(the point's crop-row keys)");
    if (points_.cols() == 1) {
        if (auto row = point_first_keys_.find({own.first, 0}))
            panic(index_out_of_bounds, "points_in_rows has 1 column; point row " +
                                           std::to_string(*row) +
                                           " has the first key of crop row " + key_text(own) +
                                           ", so its column 1 (the second key) is read");
    }
}

double RecordPlanner::slot_key(std::size_t record, std::size_t slot, std::size_t column) const {
    if (column >= connected_.cols())
        panic(index_out_of_bounds,
              "neighbour slot " + std::to_string(slot) + " reads column " + std::to_string(column) +
                  " of connected_crop_rows, which has " + columns_text(connected_.cols()) +
                  " (a NaN first key ends the list of neighbours)");
    return connected_(record, column);
}

RecordPlan RecordPlanner::plan(std::size_t record) const {
    try {
        KeyPair own = own_crop_row(record);
        check_gather(own);
        std::size_t own_record = row_information_.own_record(own);

        RecordPlan result{groups_.find(own), RowRules()};
        // Each neighbour trims what the neighbours before it left. A NaN
        // first key ends the list; the second key is never tested for NaN.
        for (std::size_t slot = 0; slot < RowRules::max_neighbours; ++slot) {
            std::size_t first_column = first_slot_column + 2 * slot;
            double first = slot_key(record, slot, first_column);
            if (std::isnan(first)) break;
            double second = slot_key(record, slot, first_column + 1);
            std::size_t neighbour_record = row_information_.neighbour_record(first, second, slot);
            EndpointMatrix current = row_information_.endpoint_matrix(own_record);
            EndpointMatrix neighbour = row_information_.endpoint_matrix(neighbour_record);
            result.rules.add_neighbour(keep_test_for(current, neighbour, tolerance_));
            check_coordinates(result.group);
        }
        return result;
    } catch (Panic& failure) {
        failure.prefix_note(record_note_prefix(record));
        throw;
    }
}

// Trimming reads x and y of every point the record still has, so points
// without them fail the first trim of a record that gathered any.
void RecordPlanner::check_coordinates(std::size_t group) const {
    if (points_.cols() >= coordinate_columns || gathered_.empty() || gathered_[group] == 0) return;
    panic(index_out_of_bounds, "points_in_rows has " + columns_text(points_.cols()) +
                                   "; trimming a point against a neighbour reads columns 2 and 3 "
                                   "(x, y)");
}

std::vector<std::size_t> count_points_by_group(const MatrixView& points_in_rows,
                                               const GroupFinder& groups) {
    std::vector<std::size_t> gathered(groups.group_count(), 0);
    for (std::size_t i = 0; i < points_in_rows.rows(); ++i) {
        std::size_t group = groups.find(converted_pair(points_in_rows(i, 0), points_in_rows(i, 1)));
        if (group != GroupFinder::no_group) ++gathered[group];
    }
    return gathered;
}

}  // namespace merge_engine
