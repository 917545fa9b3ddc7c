// The merge driver: thread count, the per-call indexes, a plan per record, two sweeps over the
// points, and the result.
#include "merge_engine/merge_driver.h"

#include <string>
#include <vector>

#include "merge_engine/call_runner.h"
#include "merge_engine/group_finder.h"
#include "merge_engine/panic.h"
#include "merge_engine/point_sweeps.h"
#include "merge_engine/record_failures.h"
#include "merge_engine/record_plan.h"
#include "merge_engine/row_classes.h"
#include "merge_engine/row_information_index.h"
#include "merge_engine/thread_count.h"
#include "merge_engine/work_progress.h"
#include "merge_engine/worker_pool.h"
#include "progress/progress_bar.h"

namespace merge_engine {

namespace {

// Planning a record costs about as much as sweeping this many points, in
// the units of PointSweeps::work_units.
constexpr std::uint64_t record_units = 64;
// Below this much work a call runs on the calling thread: waking workers
// and handing them the work would cost more than it saves.
constexpr std::uint64_t inline_units = 1 << 17;

// The own keys of every record. A matrix without the key columns makes every
// record fail before it gathers, so nothing is grouped.
std::vector<KeyPair> own_keys(const MatrixView& connected_crop_rows) {
    std::vector<KeyPair> keys;
    if (connected_crop_rows.cols() < 3) return keys;
    keys.reserve(connected_crop_rows.rows());
    for (std::size_t record = 0; record < connected_crop_rows.rows(); ++record)
        keys.push_back(
            converted_pair(connected_crop_rows(record, 1), connected_crop_rows(record, 2)));
    return keys;
}

// The result is the call's one big allocation, and it is known to the row
// before anything is written into it.
Matrix allocate_result(std::size_t rows, std::size_t cols) {
    try {
        return Matrix(rows, cols);
    } catch (const std::bad_alloc&) {
        std::string bytes = cols != 0 && rows > std::size_t(-1) / cols / sizeof(double)
                                ? "more than 2^64"
                                : std::to_string(rows * cols * sizeof(double));
        throw OutOfMemory("the merged points need " + std::to_string(rows) + " rows of " +
                          std::to_string(cols) + " columns, " + bytes +
                          " bytes, which could not be allocated");
    }
}

}  // namespace

Matrix multithreaded_merging(const MatrixView& connected_crop_rows,
                             const MatrixView& points_in_rows, const MatrixView& row_information,
                             double tolerance, std::uint64_t num_threads, bool may_draw_progress) {
    std::size_t threads = resolve_thread_count(num_threads);
    ensure_pool_threads(threads);

    std::size_t records = connected_crop_rows.rows();
    std::size_t points = points_in_rows.rows();
    // Points are grouped by crop row from their two key columns.
    bool sweeps = points != 0 && points_in_rows.cols() >= 2;
    std::uint64_t work = records * record_units + (sweeps ? PointSweeps::work_units(points) : 0);
    CallRunner runner(threads, work < inline_units);
    progress::ProgressBar bar(records, may_draw_progress);
    WorkProgress progress(bar, work);

    std::vector<KeyPair> keys = own_keys(connected_crop_rows);
    GroupFinder groups(keys);
    RowInformationIndex information(row_information, groups);
    bool coordinates = points_in_rows.cols() >= RecordPlanner::coordinate_columns;
    std::vector<std::size_t> gathered;
    if (sweeps && !coordinates) gathered = count_points_by_group(points_in_rows, groups);
    RecordPlanner planner(connected_crop_rows, keys, points_in_rows, information, groups, gathered,
                          tolerance);

    std::vector<RecordPlan> plans(records, RecordPlan{GroupFinder::no_group, RowRules()});
    RecordFailures failures;
    auto plan_records = [&](std::size_t begin, std::size_t end) {
        for (std::size_t record = begin; record < end; ++record) {
            try {
                plans[record] = planner.plan(record);
            } catch (Panic& failure) {
                failures.add(record, std::move(failure));
            }
        }
        progress.add((end - begin) * record_units);
    };
    runner.run(records, runner.grain_for(records), plan_records);
    if (failures.any()) failures.raise();

    Matrix result;
    if (sweeps) {
        RowClasses classes(plans, groups.group_count());
        PointSweeps sweep(points_in_rows, groups, classes, records, runner, coordinates);
        sweep.decide(progress);
        result = allocate_result(sweep.place(), points_in_rows.cols());
        sweep.write(result, progress);
    } else {
        result = Matrix(0, points_in_rows.cols());
    }
    bar.finish();
    return result;
}

}  // namespace merge_engine
