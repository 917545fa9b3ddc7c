// Stable parallel grouping of points by converted key pair: a counting sort over chunks of
// points_in_rows.
#include "merge_engine/point_groups.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "merge_engine/panic.h"
#include "merge_engine/worker_pool.h"

namespace merge_engine {

namespace {

// Chunks big enough that a worker's share is worth waking it for.
constexpr std::size_t min_points_per_chunk = 1 << 16;

struct Chunks {
    std::size_t count;
    std::size_t items;

    std::size_t begin(std::size_t chunk) const { return items * chunk / count; }
    std::size_t end(std::size_t chunk) const { return items * (chunk + 1) / count; }
};

}  // namespace

PointGroups::PointGroups(const Matrix& points, const std::vector<KeyPair>& wanted_keys,
                         std::size_t threads)
    : point_count_(points.rows()),
      column_count_(points.cols()),
      groups_(wanted_keys),
      first_keys_(column_count_ == 1 ? point_count_ : 0) {
    if (column_count_ == 1) {
        for (std::size_t row = 0; row < point_count_; ++row)
            first_keys_.insert_first({converted_key(points(row, 0)), 0}, row);
    }
    if (column_count_ >= 2) {
        if (groups_.group_count() < std::numeric_limits<std::uint32_t>::max())
            group<std::uint32_t>(points, threads);
        else
            group<std::size_t>(points, threads);
    }
}

// Counting sort. Each chunk counts its points per group, the counts become
// each chunk's first position in each group, and each chunk then places its
// points in row order: so every group keeps the row order of the input.
// GroupNumber is the narrowest type that holds every group number and a
// mark for no group, since the numbers make a whole pass through memory.
template <class GroupNumber>
void PointGroups::group(const Matrix& points, std::size_t threads) {
    constexpr GroupNumber none = std::numeric_limits<GroupNumber>::max();
    Chunks chunks{std::clamp<std::size_t>(point_count_ / min_points_per_chunk, 1, threads),
                  point_count_};
    LargeBuffer<GroupNumber> group_of(point_count_);
    // Each chunk's row of it is reached through data(): with no wanted keys
    // it is empty, and indexing an empty vector is undefined even unused.
    std::vector<std::size_t> next_position(chunks.count * groups_.group_count(), 0);

    auto count = [&](std::size_t first_chunk, std::size_t last_chunk) {
        for (std::size_t chunk = first_chunk; chunk < last_chunk; ++chunk) {
            std::size_t* counts = next_position.data() + chunk * groups_.group_count();
            for (std::size_t row = chunks.begin(chunk); row < chunks.end(chunk); ++row) {
                const double* values = points.row(row);
                std::size_t g = groups_.find(converted_pair(values[0], values[1]));
                if (g == GroupFinder::no_group) {
                    group_of[row] = none;
                } else {
                    group_of[row] = static_cast<GroupNumber>(g);
                    ++counts[g];
                }
            }
        }
    };
    run_stretches(chunks.count, 1, threads, count);

    group_begin_.assign(groups_.group_count() + 1, 0);
    std::size_t position = 0;
    for (std::size_t g = 0; g < groups_.group_count(); ++g) {
        group_begin_[g] = position;
        for (std::size_t chunk = 0; chunk < chunks.count; ++chunk)
            position += std::exchange(next_position[chunk * groups_.group_count() + g], position);
    }
    group_begin_[groups_.group_count()] = position;

    point_rows_ = LargeBuffer<std::size_t>(position);
    auto place = [&](std::size_t first_chunk, std::size_t last_chunk) {
        for (std::size_t chunk = first_chunk; chunk < last_chunk; ++chunk) {
            std::size_t* next = next_position.data() + chunk * groups_.group_count();
            for (std::size_t row = chunks.begin(chunk); row < chunks.end(chunk); ++row) {
                if (group_of[row] == none) continue;
                std::size_t at = next[group_of[row]]++;
                point_rows_[at] = row;
            }
        }
    };
    run_stretches(chunks.count, 1, threads, place);
}

PointSpan PointGroups::gather(KeyPair own) const {
    if (point_count_ == 0) return {};
    if (column_count_ == 0) panic(index_out_of_bounds);
    if (column_count_ == 1) {
        if (first_keys_.find({own.first, 0})) panic(index_out_of_bounds);
        return {};
    }
    std::size_t g = groups_.find(own);
    return {group_begin_[g], group_begin_[g + 1]};
}

std::size_t PointGroups::gathered_count(KeyPair own) const {
    if (column_count_ < 2) return 0;
    std::size_t g = groups_.find(own);
    return group_begin_[g + 1] - group_begin_[g];
}

}  // namespace merge_engine
