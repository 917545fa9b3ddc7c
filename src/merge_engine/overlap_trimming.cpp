// Neighbour overlap trimming in IEEE double arithmetic: every product and sum rounded on its own,
// in the order written.
#include "merge_engine/overlap_trimming.h"

#include <cmath>

namespace merge_engine {

namespace {

constexpr std::size_t prefetch_distance = 8;

// The x term is formed first.
double distance(Point a, Point b) {
    double dx = a.x - b.x;
    double dy = a.y - b.y;
    return std::sqrt(dx * dx + dy * dy);
}

struct FarthestPair {
    std::size_t current_row = 0;
    std::size_t neighbour_row = 0;
};

// Rows of the current matrix outside, rows of the neighbour's inside. Only a
// strictly greater distance replaces the best pair, so ties keep the first
// pair in this order and a NaN distance never wins.
FarthestPair farthest_pair(const EndpointMatrix& current, const EndpointMatrix& neighbour) {
    FarthestPair pair;
    double best = 0.0;
    for (std::size_t l = 0; l < 3; ++l) {
        for (std::size_t k = 0; k < 3; ++k) {
            double d = distance(current[l], neighbour[k]);
            if (d > best) {
                best = d;
                pair = {l, k};
            }
        }
    }
    return pair;
}

}  // namespace

KeepPoint::KeepPoint(Point foot, Point near, double tolerance) {
    const Point& p = foot;
    const Point& b = near;
    if (distance(p, b) < tolerance) {
        case_ = Case::close_to_near_end;
        return;
    }
    // A row that lies exactly along x or y at the junction: the corner boxes
    // below would face one fixed way whichever side B lies on, and drop points
    // far from the overlap, so only the coordinate along the row decides.
    // P = B and a NaN in P or B do not come here.
    if (p.y == b.y && p.x < b.x) {
        case_ = Case::level_left;
        foot_threshold_.x = p.x + tolerance;
        near_threshold_.x = b.x + tolerance;
    } else if (p.y == b.y && p.x > b.x) {
        case_ = Case::level_right;
        foot_threshold_.x = p.x - tolerance;
        near_threshold_.x = b.x - tolerance;
    } else if (p.x == b.x && p.y < b.y) {
        case_ = Case::plumb_below;
        foot_threshold_.y = p.y + tolerance;
        near_threshold_.y = b.y + tolerance;
    } else if (p.x == b.x && p.y > b.y) {
        case_ = Case::plumb_above;
        foot_threshold_.y = p.y - tolerance;
        near_threshold_.y = b.y - tolerance;
    } else if (p.x < b.x && p.y < b.y) {
        case_ = Case::down_left;
        foot_threshold_ = {p.x + tolerance, p.y + tolerance};
        near_threshold_ = {b.x + tolerance, b.y + tolerance};
    } else if (p.x < b.x && p.y > b.y) {
        case_ = Case::up_left;
        foot_threshold_ = {p.x + tolerance, p.y - tolerance};
        near_threshold_ = {b.x + tolerance, b.y - tolerance};
    } else if (p.x > b.x && p.y > b.y) {
        case_ = Case::up_right;
        foot_threshold_ = {p.x - tolerance, p.y - tolerance};
        near_threshold_ = {b.x - tolerance, b.y - tolerance};
    } else {
        // Also P = B, and every case with a NaN in P or B.
        case_ = Case::other;
        foot_threshold_ = {p.x - tolerance, p.y + tolerance};
        near_threshold_ = {b.x - tolerance, b.y + tolerance};
    }
}

// Thresholds are inclusive, so a point exactly on one is kept; every
// comparison with a NaN coordinate is false, so such a point is dropped.
bool KeepPoint::operator()(Point point) const {
    const double x = point.x;
    const double y = point.y;
    const Point& f = foot_threshold_;
    const Point& n = near_threshold_;
    switch (case_) {
        case Case::close_to_near_end:
            return !std::isnan(x) && !std::isnan(y);
        case Case::level_left:
            return !std::isnan(y) && (x <= f.x || x >= n.x);
        case Case::level_right:
            return !std::isnan(y) && (x >= f.x || x <= n.x);
        case Case::plumb_below:
            return !std::isnan(x) && (y <= f.y || y >= n.y);
        case Case::plumb_above:
            return !std::isnan(x) && (y >= f.y || y <= n.y);
        case Case::down_left:
            return (x <= f.x && y <= f.y) || (x >= n.x && y >= n.y);
        case Case::up_left:
            return (x <= f.x && y >= f.y) || (x >= n.x && y <= n.y);
        case Case::up_right:
            return (x >= f.x && y >= f.y) || (x <= n.x && y <= n.y);
        case Case::other:
            return (x >= f.x && y <= f.y) || (x <= n.x && y >= n.y);
    }
    return false;
}

KeepPoint keep_test_for(const EndpointMatrix& current, const EndpointMatrix& neighbour,
                        double tolerance) {
    FarthestPair pair = farthest_pair(current, neighbour);
    Point far = current[pair.current_row];
    Point near = current[pair.current_row == 0 ? 1 : 0];
    Point neighbour_near = neighbour[pair.neighbour_row == 0 ? 1 : 0];

    // Junction midpoint: the sum first, then the halving.
    Point midpoint = {(near.x + neighbour_near.x) * 0.5, (near.y + neighbour_near.y) * 0.5};

    // Foot of the perpendicular from the midpoint onto the line through the
    // near and far ends: P = B + t u with t = (w . u) / (u . u). A
    // degenerate row (u = 0) gives t = NaN and so P = NaN, which the keep
    // test sends to its last case.
    Point u = {far.x - near.x, far.y - near.y};
    Point w = {midpoint.x - near.x, midpoint.y - near.y};
    double numerator = (0.0 + w.x * u.x) + w.y * u.y;
    double denominator = (0.0 + u.x * u.x) + u.y * u.y;
    double t = numerator / denominator;
    Point foot = {near.x + t * u.x, near.y + t * u.y};
    return KeepPoint(foot, near, tolerance);
}

std::size_t trim_points_against_neighbour(std::span<std::size_t> rows, const Matrix& points,
                                          const EndpointMatrix& current,
                                          const EndpointMatrix& neighbour, double tolerance) {
    KeepPoint keep = keep_test_for(current, neighbour, tolerance);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // The rows of one crop row lie anywhere in points_in_rows.
        if (i + prefetch_distance < rows.size())
            __builtin_prefetch(points.row(rows[i + prefetch_distance]) + 2);
        std::size_t row = rows[i];
        if (keep({points(row, 2), points(row, 3)})) rows[kept++] = row;
    }
    return kept;
}

}  // namespace merge_engine
