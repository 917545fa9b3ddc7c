// What each connected-row record asks of the points: the crop row it gathers and the rules by
// which its neighbours trim it, worked out once per record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "merge_engine/group_finder.h"
#include "merge_engine/key_table.h"
#include "merge_engine/matrix.h"
#include "merge_engine/overlap_trimming.h"
#include "merge_engine/row_information_index.h"

namespace merge_engine {

struct RecordPlan {
    std::size_t group;  // the record's crop row, numbered by the GroupFinder
    RowRules rules;
};

class RecordPlanner {
  public:
    // Rows of points_in_rows hold their crop row's keys in columns 0 and 1,
    // x and y in columns 2 and 3.
    static constexpr std::size_t coordinate_columns = 4;

    // `own_keys` are the records' own crop rows as `groups` numbered them,
    // read once: another thread may write into the inputs meanwhile, and a key
    // read again could name a crop row that was never numbered. `gathered`
    // counts the points of each crop row; it is needed, and read, only when
    // the points have no x and y, and is empty when no point can be gathered
    // at all (no rows, or no key columns).
    RecordPlanner(const MatrixView& connected_crop_rows, const std::vector<KeyPair>& own_keys,
                  const MatrixView& points_in_rows, const RowInformationIndex& row_information,
                  const GroupFinder& groups, const std::vector<std::size_t>& gathered,
                  double tolerance);

    // Runs the record's steps in order: its own keys, the gathering of its
    // points, its own row-information record, then each neighbour slot until
    // a NaN first key. Fails where those steps would read a column or a
    // record that is not there, with a note that names the record.
    RecordPlan plan(std::size_t record) const;

  private:
    KeyPair own_crop_row(std::size_t record) const;
    void check_gather(KeyPair own) const;
    void check_coordinates(std::size_t group) const;
    double slot_key(std::size_t record, std::size_t slot, std::size_t column) const;

    const MatrixView& connected_;
    const std::vector<KeyPair>& own_keys_;
    const MatrixView& points_;
    const RowInformationIndex& row_information_;
    const GroupFinder& groups_;
    const std::vector<std::size_t>& gathered_;
    double tolerance_;
    // With a single column the points cannot be grouped, only their first
    // keys matched; empty otherwise.
    KeyTable point_first_keys_;
};

// How many points of each crop row a gather finds.
std::vector<std::size_t> count_points_by_group(const MatrixView& points_in_rows,
                                               const GroupFinder& groups);

}  // namespace merge_engine
