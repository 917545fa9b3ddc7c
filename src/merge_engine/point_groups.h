// The points of points_in_rows grouped once per call by the converted keys of the crop row they
// belong to.
#pragma once

#include <cstddef>
#include <vector>

#include "merge_engine/group_finder.h"
#include "merge_engine/key_table.h"
#include "merge_engine/large_buffer.h"
#include "merge_engine/matrix.h"

namespace merge_engine {

// Positions [begin, end) in the grouped arrays of PointGroups.
struct PointSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
};

class PointGroups {
  public:
    // Groups, stably, the points whose converted key pair is one of
    // `wanted_keys`; other points belong to no group. Runs on up to
    // `threads` workers of the pool.
    PointGroups(const Matrix& points, const std::vector<KeyPair>& wanted_keys, std::size_t threads);

    // The points of the crop row `own` (one of the wanted keys), in the row
    // order of points_in_rows. Fails with "ndarray: index out of bounds"
    // exactly when a scan of the rows would read a column they lack: column 0
    // of any row, or column 1 of a row whose column 0 matches.
    PointSpan gather(KeyPair own) const;

    // How many points gather(own) gives when it does not fail.
    std::size_t gathered_count(KeyPair own) const;

    // Row of points_in_rows at a grouped position.
    std::size_t point_row(std::size_t position) const { return point_rows_[position]; }

  private:
    template <class GroupNumber>
    void group(const Matrix& points, std::size_t threads);

    std::size_t point_count_;
    std::size_t column_count_;
    GroupFinder groups_;
    std::vector<std::size_t> group_begin_;  // one more than there are groups
    LargeBuffer<std::size_t> point_rows_;
    // With a single column there is nothing to group, only first keys to
    // match; empty otherwise.
    KeyTable first_keys_;
};

}  // namespace merge_engine
