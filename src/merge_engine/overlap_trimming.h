// Neighbour overlap trimming: which points of a crop row lie outside the zone where it meets a
// neighbour row.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "merge_engine/matrix.h"

namespace merge_engine {

struct Point {
    double x;
    double y;
};

// Three reference points of a crop row, from columns 5 to 10 of its
// row-information record. Rows 0 and 1 are its ends.
using EndpointMatrix = std::array<Point, 3>;

// The keep test of one current row against one neighbour: the trim foot
// point P, the current row's near endpoint B and the tolerance, with the
// case of the keep table and its thresholds worked out once.
class KeepPoint {
  public:
    KeepPoint(Point foot, Point near, double tolerance);

    bool operator()(Point point) const;

  private:
    // Where P lies from B. A foot point level with B (same y) or plumb with it
    // (same x) is decided by the one coordinate along the row.
    enum class Case {
        close_to_near_end,
        level_left,
        level_right,
        plumb_below,
        plumb_above,
        down_left,
        up_left,
        up_right,
        other,
    };

    Case case_;
    // Corner P and corner B, each shifted by the tolerance as its case says;
    // a case that tests one coordinate leaves the other at 0, unread.
    Point foot_threshold_{};
    Point near_threshold_{};
};

// The keep test for a current row and one neighbour: farthest-pair search,
// endpoint choice, junction midpoint and its projection onto the current row.
KeepPoint keep_test_for(const EndpointMatrix& current, const EndpointMatrix& neighbour,
                        double tolerance);

// Moves to the front, in order, the entries of `rows` whose point row of
// `points` (x in column 2, y in column 3) passes the keep test of `current`
// against `neighbour`, and returns how many there are.
std::size_t trim_points_against_neighbour(std::span<std::size_t> rows, const Matrix& points,
                                          const EndpointMatrix& current,
                                          const EndpointMatrix& neighbour, double tolerance);

}  // namespace merge_engine
