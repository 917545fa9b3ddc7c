// The merge driver: thread count, the per-call indexes, a plan per record, two sweeps over the
// points, and the result.
#include "merge_engine/merge_driver.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "merge_engine/group_finder.h"
#include "merge_engine/panic.h"
#include "merge_engine/point_sweeps.h"
#include "merge_engine/record_failures.h"
#include "merge_engine/record_plan.h"
#include "merge_engine/row_classes.h"
#include "merge_engine/row_information_index.h"
#include "merge_engine/scratch.h"
#include "merge_engine/thread_count.h"
#include "merge_engine/work_progress.h"
#include "merge_engine/worker_pool.h"
#include "progress/progress_bar.h"

namespace merge_engine {

namespace {

// Planning a record costs about as much as sweeping this many points.
constexpr std::uint64_t record_units = 32;
// Below this much work a call runs on the calling thread: waking workers
// and handing them the work would cost more than it saves.
constexpr std::uint64_t inline_units = 1 << 16;
// Chunks big enough that a worker's share is worth waking it for, and a few
// per worker, so that one slow worker does not hold up the others.
constexpr std::size_t min_chunk_points = 1 << 15;
constexpr std::size_t chunks_per_thread = 4;
// Enough stretches of records per worker for the same reason.
constexpr std::size_t stretches_per_thread = 16;

// Runs a call's parallel steps on the pool, or all on the calling thread.
class Runner {
  public:
    Runner(std::size_t threads, bool on_calling_thread)
        : threads_(threads), on_calling_thread_(on_calling_thread) {}

    std::size_t threads() const { return on_calling_thread_ ? 1 : threads_; }

    template <class Body>
    void run(std::size_t count, std::size_t grain, Body&& body) const {
        if (on_calling_thread_ || count < 2)
            body(std::size_t{0}, count);
        else
            run_stretches(count, grain, threads_, body);
    }

    std::size_t grain_for(std::size_t count) const {
        return std::max<std::size_t>(1, count / (threads() * stretches_per_thread));
    }

  private:
    std::size_t threads_;
    bool on_calling_thread_;
};

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

Chunks chunks_for(std::size_t points, const Runner& runner) {
    std::size_t count =
        std::clamp<std::size_t>(points / min_chunk_points, 1, runner.threads() * chunks_per_thread);
    // A chunk's counts are 32 bits wide.
    std::size_t max_points = std::numeric_limits<std::uint32_t>::max();
    count = std::max(count, points / max_points + 1);
    return {count, points};
}

// Sets each record's cursor in each chunk to the row where the record's
// first survivor of that chunk goes, and returns the result's row count.
std::size_t place_survivors(const PointFates& fates, const RowClasses& classes, std::size_t records,
                            std::size_t* cursors) {
    std::size_t chunks = fates.chunks().count;
    std::size_t rows = 0;
    for (std::size_t record = 0; record < records; ++record) {
        std::size_t row_class = classes.class_of(record);
        for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
            cursors[chunk * records + record] = rows;
            if (__builtin_add_overflow(rows, fates.kept(chunk, row_class), &rows))
                throw OutOfMemory("the merged points would need more rows than can be counted");
        }
    }
    return rows;
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
    std::uint64_t work = records * record_units + (sweeps ? 2 * std::uint64_t(points) : 0);
    Runner runner(threads, work < inline_units);
    progress::ProgressBar bar(records, may_draw_progress);
    WorkProgress progress(bar, work);

    std::vector<KeyPair> keys = own_keys(connected_crop_rows);
    GroupFinder groups(keys);
    RowInformationIndex information(row_information);
    bool coordinates = points_in_rows.cols() >= RecordPlanner::coordinate_columns;
    std::vector<std::size_t> gathered;
    if (sweeps && !coordinates) gathered = count_points_by_group(points_in_rows, groups);
    RecordPlanner planner(connected_crop_rows, points_in_rows, information, groups, gathered,
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
        PointFates fates(points_in_rows, groups, classes, chunks_for(points, runner), coordinates);
        std::size_t chunks = fates.chunks().count;
        auto decide = [&](std::size_t begin, std::size_t end) {
            for (std::size_t chunk = begin; chunk < end; ++chunk) fates.decide(chunk, progress);
        };
        runner.run(chunks, 1, decide);

        Scratch cursor_scratch(Scratch::record_cursors, chunks * records, sizeof(std::size_t));
        std::size_t* cursors = cursor_scratch.as<std::size_t>();
        result = allocate_result(place_survivors(fates, classes, records, cursors),
                                 points_in_rows.cols());
        auto write = [&](std::size_t begin, std::size_t end) {
            for (std::size_t chunk = begin; chunk < end; ++chunk)
                fates.write(chunk, cursors + chunk * records, result, progress);
        };
        runner.run(chunks, 1, write);
    } else {
        result = Matrix(0, points_in_rows.cols());
    }
    bar.finish();
    return result;
}

}  // namespace merge_engine
