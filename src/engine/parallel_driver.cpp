#include "engine/parallel_driver.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "engine/point_groups.h"
#include "engine/progress_bar.h"
#include "engine/row_merge.h"
#include "engine/worker_pool.h"

namespace cropmerge {

namespace {

// Crop rows per task: small enough to balance uneven rows across workers,
// large enough that claiming a task costs nothing.
size_t rows_per_task(size_t rows, size_t workers) {
    return std::clamp<size_t>(rows / (workers * 64), 1, 256);
}

size_t task_count(size_t items, size_t per_task) { return (items + per_task - 1) / per_task; }

void copy_rows(const TableView& points, std::span<const uint64_t> indices, double* out) {
    const size_t cols = points.cols;
    if (points.rows_are_contiguous()) {
        for (uint64_t index : indices) {
            std::memcpy(out, points.row_start(index), cols * sizeof(double));
            out += cols;
        }
        return;
    }
    for (uint64_t index : indices) {
        for (size_t col = 0; col < cols; ++col) {
            *out++ = points.at(index, col);
        }
    }
}

}  // namespace

FloatTable multithreaded_merging(const TableView& connected_crop_rows,
                                 const TableView& points_in_rows, const TableView& row_information,
                                 double tolerance, unsigned long long num_threads) {
    const WorkerPool pool(resolve_worker_count(num_threads));
    PointGroups groups(connected_crop_rows, points_in_rows, pool);
    const RowInformationIndex info_index(row_information);
    const MergeInputs inputs{connected_crop_rows, points_in_rows, row_information, groups,
                             info_index,          tolerance};

    const size_t rows = connected_crop_rows.rows;
    const size_t per_task = rows_per_task(rows, pool.size());
    std::vector<std::span<const uint64_t>> survivors(rows);
    // Only crop rows that share their id pair with another one need storage
    // of their own; the others compact their survivors in place.
    std::vector<std::vector<uint64_t>> private_survivors(rows);
    ProgressBar bar(rows);
    pool.for_each(task_count(rows, per_task), [&](size_t task) {
        const size_t end = std::min(rows, (task + 1) * per_task);
        for (size_t row = task * per_task; row < end; ++row) {
            survivors[row] = merge_points_removing_overlap(row, inputs, private_survivors[row]);
            bar.inc(1);
        }
    });
    bar.finish();

    // Each crop row's block starts where the blocks of the rows before it end.
    std::vector<size_t> first_output_row(rows + 1, 0);
    for (size_t row = 0; row < rows; ++row) {
        first_output_row[row + 1] = first_output_row[row] + survivors[row].size();
    }
    FloatTable output = FloatTable::row_major(first_output_row[rows], points_in_rows.cols);
    pool.for_each(task_count(rows, per_task), [&](size_t task) {
        const size_t end = std::min(rows, (task + 1) * per_task);
        for (size_t row = task * per_task; row < end; ++row) {
            copy_rows(points_in_rows, survivors[row],
                      output.data() + first_output_row[row] * output.cols());
        }
    });
    return output;
}

}  // namespace cropmerge
