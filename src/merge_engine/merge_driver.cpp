// The merge driver: thread count, worker pool, the per-call indexes, one task per record, progress,
// and assembly.
#include "merge_engine/merge_driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "merge_engine/large_buffer.h"
#include "merge_engine/point_groups.h"
#include "merge_engine/row_information_index.h"
#include "merge_engine/row_merge_task.h"
#include "merge_engine/thread_count.h"
#include "merge_engine/worker_pool.h"
#include "progress/progress_bar.h"

namespace merge_engine {

namespace {

// Enough stretches per worker that one slow stretch does not leave the
// others idle, few enough that taking one costs nothing.
constexpr std::size_t stretches_per_thread = 16;

std::size_t grain_for(std::size_t count, std::size_t threads) {
    return std::max<std::size_t>(1, count / (threads * stretches_per_thread));
}

// The own keys of every record, for grouping the points. A matrix without
// the key columns makes every task fail before it gathers, so nothing is grouped.
std::vector<KeyPair> own_keys(const Matrix& connected_crop_rows) {
    std::vector<KeyPair> keys;
    if (connected_crop_rows.cols() < 3) return keys;
    keys.reserve(connected_crop_rows.rows());
    for (std::size_t record = 0; record < connected_crop_rows.rows(); ++record)
        keys.push_back(
            converted_pair(connected_crop_rows(record, 1), connected_crop_rows(record, 2)));
    return keys;
}

// Survivors are scattered over points_in_rows: asking for rows a little
// ahead keeps several memory reads in flight instead of one.
constexpr std::size_t prefetch_distance = 8;

void prefetch_row(const Matrix& points, std::size_t row) {
    const double* start = points.row(row);
    __builtin_prefetch(start);
    __builtin_prefetch(start + points.cols() - 1);
}

// What the records publish: each writes the rows it keeps into its own
// stretch of one buffer, as long as the points it gathers, so tasks neither
// allocate nor wait for each other, and the result keeps record order.
class Publications {
  public:
    Publications(const PointGroups& points, const std::vector<KeyPair>& own_keys,
                 std::size_t records)
        : first_slot_(records + 1, 0), kept_count_(records, 0) {
        for (std::size_t record = 0; record < records; ++record) {
            // Without own keys every task fails before it gathers anything.
            std::size_t gathered =
                record < own_keys.size() ? points.gathered_count(own_keys[record]) : 0;
            first_slot_[record + 1] = first_slot_[record] + gathered;
        }
        kept_rows_ = LargeBuffer<std::size_t>(first_slot_.back());
    }

    std::size_t* slots(std::size_t record) { return kept_rows_.get() + first_slot_[record]; }
    void publish(std::size_t record, std::size_t kept) { kept_count_[record] = kept; }

    std::size_t records() const { return kept_count_.size(); }
    std::size_t kept(std::size_t record) const { return kept_count_[record]; }
    const std::size_t* kept_rows(std::size_t record) const {
        return kept_rows_.get() + first_slot_[record];
    }

  private:
    std::vector<std::size_t> first_slot_;
    std::vector<std::size_t> kept_count_;
    LargeBuffer<std::size_t> kept_rows_;
};

// Below this many bytes, waking workers costs more than copying the result.
constexpr std::size_t parallel_copy_bytes = std::size_t(1) << 20;

// Copies every published row once, record after record, into one matrix.
Matrix assemble(const Matrix& points, const Publications& published, std::size_t threads) {
    std::size_t records = published.records();
    std::vector<std::size_t> first_row(records + 1, 0);
    for (std::size_t record = 0; record < records; ++record)
        first_row[record + 1] = first_row[record] + published.kept(record);
    Matrix result(first_row.back(), points.cols());
    if (result.size() == 0) return result;
    std::size_t row_bytes = points.cols() * sizeof(double);
    auto copy_records = [&](std::size_t begin, std::size_t end) {
        double* out = result.row(first_row[begin]);
        for (std::size_t record = begin; record < end; ++record) {
            const std::size_t* rows = published.kept_rows(record);
            std::size_t count = published.kept(record);
            for (std::size_t i = 0; i < count; ++i) {
                if (i + prefetch_distance < count)
                    prefetch_row(points, rows[i + prefetch_distance]);
                std::memcpy(out, points.row(rows[i]), row_bytes);
                out += points.cols();
            }
        }
    };
    if (result.size() * sizeof(double) < parallel_copy_bytes)
        copy_records(0, records);
    else
        run_stretches(records, grain_for(records, threads), threads, copy_records);
    return result;
}

}  // namespace

Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance,
                             std::uint64_t num_threads) {
    std::size_t threads = resolve_thread_count(num_threads);
    ensure_pool_threads(threads);

    std::vector<KeyPair> keys = own_keys(connected_crop_rows);
    PointGroups points(points_in_rows, keys, threads);
    RowInformationIndex information(row_information);
    TaskContext context{connected_crop_rows, points_in_rows, points, information, tolerance};

    std::size_t records = connected_crop_rows.rows();
    progress::ProgressBar bar(records);
    Publications published(points, keys, records);
    auto merge_records = [&](std::size_t begin, std::size_t end) {
        for (std::size_t record = begin; record < end; ++record) {
            published.publish(record, merge_row(context, record, published.slots(record)));
            bar.advance();
        }
    };
    run_stretches(records, grain_for(records, threads), threads, merge_records);
    bar.finish();
    return assemble(points_in_rows, published, threads);
}

}  // namespace merge_engine
