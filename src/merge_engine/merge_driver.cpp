// The merge driver: thread count, worker pool, one task per record, progress, and assembly of the
// result.
#include "merge_engine/merge_driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

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

// Runs body over [0, count): a single index on the calling thread, more on the pool.
template <class Body>
void for_each_stretch(std::size_t count, std::size_t threads, Body& body) {
    if (count < 2) return body(0, count);
    run_stretches(count, grain_for(count, threads), threads, body);
}

// Copies every surviving row once, record after record, into one matrix.
Matrix assemble(const Matrix& points, const std::vector<std::vector<std::size_t>>& survivors,
                std::size_t threads) {
    std::vector<std::size_t> first_row(survivors.size() + 1, 0);
    for (std::size_t record = 0; record < survivors.size(); ++record)
        first_row[record + 1] = first_row[record] + survivors[record].size();
    Matrix result(first_row.back(), points.cols());
    std::size_t row_bytes = points.cols() * sizeof(double);
    if (result.size() == 0) return result;
    auto copy_records = [&](std::size_t begin, std::size_t end) {
        for (std::size_t record = begin; record < end; ++record) {
            double* out = result.row(first_row[record]);
            for (std::size_t point : survivors[record]) {
                std::memcpy(out, points.row(point), row_bytes);
                out += points.cols();
            }
        }
    };
    for_each_stretch(survivors.size(), threads, copy_records);
    return result;
}

}  // namespace

Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance,
                             std::uint64_t num_threads) {
    std::size_t threads = resolve_thread_count(num_threads);
    ensure_pool_threads(threads);

    std::size_t records = connected_crop_rows.rows();
    progress::ProgressBar bar(records);
    std::vector<std::vector<std::size_t>> survivors(records);
    MergeInputs inputs{connected_crop_rows, points_in_rows, row_information, tolerance};
    auto merge_records = [&](std::size_t begin, std::size_t end) {
        for (std::size_t record = begin; record < end; ++record) {
            survivors[record] = merge_row(inputs, record);
            bar.advance();
        }
    };
    for_each_stretch(records, threads, merge_records);
    bar.finish();
    return assemble(points_in_rows, survivors, threads);
}

}  // namespace merge_engine
