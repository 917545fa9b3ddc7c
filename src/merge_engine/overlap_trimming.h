// Neighbour overlap trimming: which points of a crop row lie outside the zone where it meets a
// neighbour row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace merge_engine {

struct Point {
    double x;
    double y;
};

// Three reference points of a crop row, from columns 5 to 10 of its
// row-information record. Rows 0 and 1 are its ends.
using EndpointMatrix = std::array<Point, 3>;

// The keep test of one current row against one neighbour, worked out once
// from the trim foot point P, the current row's near endpoint B and the
// tolerance. Every case of the keep table has the same form once x and y
// carry a sign: a point is kept when
//     (sx x <= foot.x and sy y <= foot.y) or (sx x >= near.x and sy y >= near.y),
// with sx and sy +1 or -1 and the thresholds negated to match. Negation is
// exact, so each comparison is the table's own, and a NaN coordinate fails
// every comparison. One form for every case means no branch per point.
class KeepPoint {
  public:
    KeepPoint(Point foot, Point near, double tolerance);

    // Keeps every point whose x and y are not NaN: any numbers pass the
    // first pair of comparisons, nothing passes the second.
    static constexpr KeepPoint numeric() {
        KeepPoint test;
        test.foot_ = {std::numeric_limits<double>::infinity(),
                      std::numeric_limits<double>::infinity()};
        test.near_ = {std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::quiet_NaN()};
        return test;
    }

    bool operator()(Point point) const {
        double x = sx_ * point.x;
        double y = sy_ * point.y;
        return ((x <= foot_.x) & (y <= foot_.y)) | ((x >= near_.x) & (y >= near_.y));
    }

    bool operator==(const KeepPoint& other) const;
    std::uint64_t hash() const;

    // The parts of the test, for tables that lay many tests out compactly.
    bool flips_x() const { return sx_ < 0; }
    bool flips_y() const { return sy_ < 0; }
    Point foot_threshold() const { return foot_; }
    Point near_threshold() const { return near_; }

  private:
    KeepPoint() = default;

    double sx_ = 1.0;
    double sy_ = 1.0;
    Point foot_{};
    Point near_{};
};

// The keep test for a current row and one neighbour: farthest-pair search,
// endpoint choice, junction midpoint and its projection onto the current row.
KeepPoint keep_test_for(const EndpointMatrix& current, const EndpointMatrix& neighbour,
                        double tolerance);

// What one record keeps of its crop row's points: each neighbour trims what
// the ones before it left, and each test depends on the point alone, so a
// point survives exactly when every neighbour's test keeps it.
class RowRules {
  public:
    static constexpr std::size_t max_neighbours = 4;

    // A record without neighbours keeps every point, NaN or not.
    RowRules() = default;

    void add_neighbour(const KeepPoint& test);
    std::size_t neighbours() const { return neighbours_; }
    // Test `i`; the ones past the neighbours keep every numeric point.
    const KeepPoint& test(std::size_t i) const { return tests_[i]; }

    bool keeps(Point point) const {
        if (neighbours_ == 0) return true;
        // Unused tests keep every numeric point, which the first test alone
        // already requires, so two tests always run and the rest rarely.
        bool kept = tests_[0](point) & tests_[1](point);
        if (neighbours_ > 2) kept &= tests_[2](point) & tests_[3](point);
        return kept;
    }

    bool operator==(const RowRules& other) const;
    std::uint64_t hash() const;

  private:
    std::array<KeepPoint, max_neighbours> tests_{KeepPoint::numeric(), KeepPoint::numeric(),
                                                 KeepPoint::numeric(), KeepPoint::numeric()};
    std::size_t neighbours_ = 0;
};

}  // namespace merge_engine
