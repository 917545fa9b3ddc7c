// Neighbour overlap trimming in IEEE double arithmetic: every product and sum rounded on its own,
// in the order written.
#include "merge_engine/overlap_trimming.h"

#include <bit>
#include <cmath>
#include <limits>

namespace merge_engine {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The x term is formed first.
double squared_distance(Point a, Point b) {
    double dx = a.x - b.x;
    double dy = a.y - b.y;
    return dx * dx + dy * dy;
}

double distance(Point a, Point b) {
    return std::sqrt(squared_distance(a, b));
}

struct FarthestPair {
    std::size_t current_row = 0;
    std::size_t neighbour_row = 0;
};

// Rows of the current matrix outside, rows of the neighbour's inside. Only a
// strictly greater distance replaces the best pair, so ties keep the first
// pair in this order and a NaN distance never wins. Distances are compared
// as rounded square roots, since two squares can differ where their roots
// are equal; but the root does not decrease with the square, so a square no
// greater than the best one's cannot win and needs no root.
FarthestPair farthest_pair(const EndpointMatrix& current, const EndpointMatrix& neighbour) {
    FarthestPair pair;
    double best = 0.0;
    double best_square = 0.0;
    for (std::size_t l = 0; l < 3; ++l) {
        for (std::size_t k = 0; k < 3; ++k) {
            double square = squared_distance(current[l], neighbour[k]);
            if (!(square > best_square)) continue;
            double d = std::sqrt(square);
            if (d > best) {
                best = d;
                best_square = square;
                pair = {l, k};
            }
        }
    }
    return pair;
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

KeepPoint::KeepPoint(Point foot, Point near, double tolerance) {
    const Point& p = foot;
    const Point& b = near;
    // How far the foot point lies from the near end along x and along y.
    double along_x = std::fabs(b.x - p.x);
    double along_y = std::fabs(b.y - p.y);
    if (distance(p, b) < tolerance) {
        *this = numeric();
    } else if (along_x > along_y && p.x < b.x) {
        // The coordinate along the row decides alone; the other need only
        // be a number. The corner boxes below bound both, and for a row near
        // an axis the bound across it reaches along it as tolerance /
        // sin(angle): points scattered across the row would be dropped far
        // from the junction, and its whole body when the junction midpoint
        // lies past its near end. Decided by one coordinate, a threshold lies
        // between tolerance and tolerance * sqrt(2) along the row. Equal
        // distances (a row at 45 degrees, P = B) and a NaN in P or B take
        // the boxes.
        foot_ = {p.x + tolerance, infinity};
        near_ = {b.x + tolerance, -infinity};
    } else if (along_x > along_y) {
        sx_ = -1.0;
        foot_ = {-(p.x - tolerance), infinity};
        near_ = {-(b.x - tolerance), -infinity};
    } else if (along_y > along_x && p.y < b.y) {
        foot_ = {infinity, p.y + tolerance};
        near_ = {-infinity, b.y + tolerance};
    } else if (along_y > along_x) {
        sy_ = -1.0;
        foot_ = {infinity, -(p.y - tolerance)};
        near_ = {-infinity, -(b.y - tolerance)};
    } else if (p.x < b.x && p.y < b.y) {
        // Kept beyond P or beyond B, towards lower x and y.
        foot_ = {p.x + tolerance, p.y + tolerance};
        near_ = {b.x + tolerance, b.y + tolerance};
    } else if (p.x < b.x && p.y > b.y) {
        sy_ = -1.0;
        foot_ = {p.x + tolerance, -(p.y - tolerance)};
        near_ = {b.x + tolerance, -(b.y - tolerance)};
    } else if (p.x > b.x && p.y > b.y) {
        sx_ = -1.0;
        sy_ = -1.0;
        foot_ = {-(p.x - tolerance), -(p.y - tolerance)};
        near_ = {-(b.x - tolerance), -(b.y - tolerance)};
    } else {
        // Also P = B, and every case with a NaN in P or B.
        sx_ = -1.0;
        foot_ = {-(p.x - tolerance), p.y + tolerance};
        near_ = {-(b.x - tolerance), b.y + tolerance};
    }
}

bool KeepPoint::operator==(const KeepPoint& other) const {
    return same_bits(sx_, other.sx_) && same_bits(sy_, other.sy_) &&
           same_bits(foot_.x, other.foot_.x) && same_bits(foot_.y, other.foot_.y) &&
           same_bits(near_.x, other.near_.x) && same_bits(near_.y, other.near_.y);
}

std::uint64_t KeepPoint::hash() const {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (double value : {sx_, sy_, foot_.x, foot_.y, near_.x, near_.y})
        h = (h ^ std::bit_cast<std::uint64_t>(value)) * 0x100000001b3ULL;
    return h;
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

void RowRules::add_neighbour(const KeepPoint& test) {
    tests_[neighbours_++] = test;
}

// Bit for bit, so records with equal rules keep exactly the same points.
bool RowRules::operator==(const RowRules& other) const {
    return neighbours_ == other.neighbours_ && tests_ == other.tests_;
}

std::uint64_t RowRules::hash() const {
    std::uint64_t h = neighbours_;
    for (const KeepPoint& test : tests_) h = (h * 0x100000001b3ULL) ^ test.hash();
    return h;
}

}  // namespace merge_engine
