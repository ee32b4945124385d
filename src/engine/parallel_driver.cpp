#include "engine/parallel_driver.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/crop_row_keys.h"
#include "engine/failure.h"
#include "engine/in_order_pass.h"
#include "engine/pass_progress.h"
#include "engine/progress_bar.h"
#include "engine/row_filters.h"
#include "engine/row_merge.h"
#include "engine/row_runs_pass.h"
#include "engine/scattered_pass.h"
#include "engine/segment_pass.h"
#include "engine/worker_pool.h"

namespace cropmerge {

namespace {

// How many tasks the crop rows are planned in: each of at least
// kMinRowsPerTask rows, worth waking a worker for (a short last task would
// wake one for nearly nothing), and otherwise shares small enough to balance
// uneven rows across workers.
size_t planning_tasks(size_t rows, size_t workers) {
    constexpr size_t kMinRowsPerTask = 1024;
    constexpr size_t kTasksPerWorker = 16;
    return std::clamp<size_t>(rows / kMinRowsPerTask, 1, workers * kTasksPerWorker);
}

// Indexes with fewer rows than this between them are built one after the
// other: building them costs less than waking a worker.
constexpr size_t kMinRowsToIndexInParallel = size_t{1} << 14U;

// How far ahead of the row being planned its lookups are fetched.
constexpr size_t kPrefetchRows = 8;

// The fewest points worth a thread of their own, in a pass over points in
// runs of one crop row and in one that looks up every point (points in
// segments or scattered), which costs several times more per point.
constexpr size_t kMinPointsPerBlock = size_t{1} << 16U;
constexpr size_t kMinScatteredPointsPerBlock = size_t{1} << 15U;

// How many blocks a pass over `points` points is split into: one per worker,
// but no block of fewer than `min_points`.
size_t point_blocks(size_t points, const WorkerPool& pool, size_t min_points) {
    return std::clamp<size_t>(points / min_points, 1, pool.size());
}

// Where each crop row's filters go in the plan, which is sized for them.
RowFilters lay_out_plan(const MergeInputs& inputs) {
    const size_t rows = inputs.connected_crop_rows.rows;
    RowFilters plan;
    plan.rows.resize(rows);
    plan.near_boxes.resize(rows);
    size_t filters = 0;
    for (size_t row = 0; row < rows; ++row) {
        const size_t count = connected_row_count(inputs.connected_crop_rows, row);
        plan.rows[row] = {.filters_begin = filters,
                          .filter_count = count,
                          .chained = inputs.keys.next_row_with_same_ids(row) != CropRowKeys::kNone};
        filters += count;
    }
    plan.filters.resize(filters);
    return plan;
}

// Runs the per-row half of the merge for every crop row, in parallel.
RowFilters plan_rows(const MergeInputs& inputs, const WorkerPool& pool,
                     const PassProgress& progress) {
    const size_t rows = inputs.connected_crop_rows.rows;
    // Without both id columns every crop row fails at its first step, the first
    // row first: a plan for them all would be laid out for nothing.
    if (rows > 0 && inputs.connected_crop_rows.cols < 3) {
        fail(kIndexOutOfBounds);
    }
    RowFilters plan = lay_out_plan(inputs);
    const size_t tasks = planning_tasks(rows, pool.size());
    const bool prefetch = inputs.info_index.lookups_are_hashed(inputs.keys);
    pool.for_each(tasks, [&](size_t task) {
        const size_t begin = rows * task / tasks;
        const size_t end = rows * (task + 1) / tasks;
        for (size_t row = begin; row < end; ++row) {
            if (prefetch && row + kPrefetchRows < end) {
                prefetch_row_merge(row + kPrefetchRows, inputs);
            }
            plan_row_merge(
                row, inputs,
                {plan.filters.data() + plan.rows[row].filters_begin, plan.rows[row].filter_count});
            plan.near_boxes[row] = near_box(plan.of_row(row));
        }
        progress.rows_planned(begin, end);
    });
    return plan;
}

// Writes the survivors of every crop row's merge, in one pass when the points
// come crop row by crop row.
FloatTable copy_survivors(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                          const WorkerPool& pool, const PassProgress& progress) {
    const size_t blocks = point_blocks(points.rows, pool, kMinPointsPerBlock);
    const size_t looked_up_blocks = point_blocks(points.rows, pool, kMinScatteredPointsPerBlock);
    // Without both id columns no point belongs to any crop row.
    if (points.cols >= 2) {
        FloatTable output;
        if (copy_survivors_in_table_order(points, keys, plan, pool, blocks, progress, output) ||
            copy_survivors_by_row_runs(points, keys, plan, pool, blocks, progress, output) ||
            copy_survivors_in_segments(points, keys, plan, pool, looked_up_blocks, progress,
                                       output)) {
            return output;
        }
    }
    return copy_scattered_survivors(points, keys, plan, pool, looked_up_blocks, progress);
}

}  // namespace

FloatTable multithreaded_merging(const TableView& connected_crop_rows,
                                 const TableView& points_in_rows, const TableView& row_information,
                                 double tolerance, unsigned long long num_threads) {
    const WorkerPool pool(resolve_worker_count(num_threads));
    // The two indexes are independent: build them side by side.
    std::unique_ptr<const CropRowKeys> keys;
    std::unique_ptr<const RowInformationIndex> info_index;
    const bool index_in_parallel =
        connected_crop_rows.rows + row_information.rows >= kMinRowsToIndexInParallel;
    pool.for_each(index_in_parallel ? 2 : 1, [&](size_t index) {
        if (index == 0) {
            keys = std::make_unique<const CropRowKeys>(connected_crop_rows, points_in_rows);
        }
        if (index == 1 || !index_in_parallel) {
            info_index =
                std::make_unique<const RowInformationIndex>(row_information, connected_crop_rows);
        }
    });
    ProgressBar bar(connected_crop_rows.rows);
    const PassProgress progress(bar, connected_crop_rows.rows);
    const RowFilters plan = plan_rows(
        {connected_crop_rows, points_in_rows, row_information, *keys, *info_index, tolerance}, pool,
        progress);
    // Only the plans read row_information: its index is freed before the
    // output, the largest allocation, is made.
    info_index.reset();
    FloatTable output = copy_survivors(points_in_rows, *keys, plan, pool, progress);
    bar.finish();
    return output;
}

}  // namespace cropmerge
