#include "engine/parallel_driver.h"

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "engine/buffer.h"
#include "engine/crop_row_keys.h"
#include "engine/in_order_pass.h"
#include "engine/past_center_filter.h"
#include "engine/point_runs.h"
#include "engine/progress_bar.h"
#include "engine/row_copy.h"
#include "engine/row_filters.h"
#include "engine/row_merge.h"
#include "engine/worker_pool.h"

namespace cropmerge {

namespace {

// Crop rows per task: small enough to balance uneven rows across workers,
// large enough that claiming a task costs nothing.
size_t rows_per_task(size_t rows, size_t workers) {
    return std::clamp<size_t>(rows / (workers * 64), 1, 256);
}

// How far ahead of the row being planned its lookups are fetched.
constexpr size_t kPrefetchRows = 8;

// How many blocks a pass over `points` points is split into: one per worker,
// but no block of fewer points than are worth a thread of their own.
size_t point_blocks(size_t points, const WorkerPool& pool) {
    constexpr size_t kMinPointsPerBlock = size_t{1} << 16U;
    return std::clamp<size_t>(points / kMinPointsPerBlock, 1, pool.size());
}

// Runs the per-row half of the merge for every crop row, in parallel, while
// the progress bar counts the rows.
RowFilters plan_rows(const MergeInputs& inputs, const WorkerPool& pool) {
    const size_t rows = inputs.connected_crop_rows.rows;
    RowFilters plan;
    plan.rows.resize(rows);
    // Without both id columns the crop rows are not indexed (and every one fails).
    const bool indexed = inputs.connected_crop_rows.cols >= 3;
    size_t filters = 0;
    for (size_t row = 0; row < rows; ++row) {
        const size_t count = connected_row_count(inputs.connected_crop_rows, row);
        plan.rows[row] = {
            .filters_begin = filters,
            .filter_count = count,
            .chained = indexed && inputs.keys.next_row_with_same_ids(row) != CropRowKeys::kNone};
        filters += count;
    }
    plan.filters.resize(filters);

    ProgressBar bar(rows);
    const size_t per_task = rows_per_task(rows, pool.size());
    pool.for_each((rows + per_task - 1) / per_task, [&](size_t task) {
        const size_t end = std::min(rows, (task + 1) * per_task);
        for (size_t row = task * per_task; row < end; ++row) {
            if (row + kPrefetchRows < end) {
                prefetch_row_merge(row + kPrefetchRows, inputs);
            }
            plan_row_merge(row, inputs, plan.filters.data() + plan.rows[row].filters_begin);
        }
        bar.inc(end - task * per_task);
    });
    bar.finish();
    return plan;
}

// The crop row a point survives in: a row index, or one of these.
constexpr uint32_t kRemoved = CropRowKeys::kNone;
constexpr uint32_t kSeveralRows = CropRowKeys::kNone - 1;

// Calls visit(row) for every crop row, from `first_row` on along its chain of
// rows with the same id pair, whose merge keeps the point.
template <class Visit>
void visit_surviving_rows(const TableView& points, size_t point, const CropRowKeys& keys,
                          const RowFilters& plan, uint32_t first_row, Visit&& visit) {
    for (uint32_t row = first_row; row != CropRowKeys::kNone;
         row = keys.next_row_with_same_ids(row)) {
        if (plan.keeps(row, points, point)) {
            visit(row);
        }
    }
}

// Tags points [begin, end), which share one id pair whose crop rows start at
// `first_row`, with the crop row each survives in (kSeveralRows when the pair
// names more than one crop row), and counts the survivors of every crop row.
void tag_run(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
             uint32_t first_row, size_t begin, size_t end, uint32_t* tags, size_t* counts) {
    if (first_row == CropRowKeys::kNone) {
        std::fill(tags + begin, tags + end, kRemoved);
        return;
    }
    if (plan.chained(first_row)) {
        for (size_t point = begin; point < end; ++point) {
            tags[point] = kRemoved;
            visit_surviving_rows(points, point, keys, plan, first_row, [&](uint32_t row) {
                ++counts[row];
                tags[point] = kSeveralRows;
            });
        }
        return;
    }
    const std::span<const PastCenterFilter> filters = plan.of_row(first_row);
    if (filters.empty()) {
        std::fill(tags + begin, tags + end, first_row);
        counts[first_row] += end - begin;
        return;
    }
    size_t kept = 0;
    for (size_t point = begin; point < end; ++point) {
        const bool keep =
            survives_past_center_filters(filters, points.at(point, 2), points.at(point, 3));
        tags[point] = keep ? first_row : kRemoved;
        kept += keep ? 1 : 0;
    }
    counts[first_row] += kept;
}

// Runs at least this long are tagged as one; shorter ones mean scattered
// points, whose lookups are fetched ahead in batches of this size instead of
// waited for one by one.
constexpr size_t kBatch = 32;

// Starts fetching the lines of points [begin, end) of a row-major table.
void prefetch_rows(const TableView& points, size_t begin, size_t end) {
    if (begin >= end || !points.rows_are_contiguous()) {
        return;
    }
    constexpr size_t kLine = 64;
    const char* from = reinterpret_cast<const char*>(points.row_start(begin));
    const char* to = reinterpret_cast<const char*>(points.row_start(end - 1) + points.cols);
    for (; from < to; from += kLine) {
        __builtin_prefetch(from);
    }
}

// Tags the points in [begin, end) (see tag_run).
void tag_points(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                size_t begin, size_t end, uint32_t* tags, size_t* counts) {
    uint64_t firsts[kBatch];
    uint64_t seconds[kBatch];
    uint32_t first_rows[kBatch];
    uint32_t previous_row = CropRowKeys::kNone;
    size_t point = begin;
    while (point < end) {
        const size_t stop = run_end(points, point, end);
        if (stop - point >= kBatch || stop == end) {
            const uint32_t row = first_row_of(points, keys, point, previous_row);
            tag_run(points, keys, plan, row, point, stop, tags, counts);
            previous_row = row;
            point = stop;
            continue;
        }
        const size_t size = std::min(kBatch, end - point);
        // Scattered lookups keep the hardware from fetching the next batch's
        // points ahead on its own.
        prefetch_rows(points, std::min(end, point + size), std::min(end, point + 2 * size));
        for (size_t i = 0; i < size; ++i) {
            firsts[i] = integer_id(points.at(point + i, 0));
            seconds[i] = integer_id(points.at(point + i, 1));
            keys.prefetch(firsts[i], seconds[i]);
        }
        for (size_t i = 0; i < size; ++i) {
            first_rows[i] = keys.first_row(firsts[i], seconds[i]);
            if (first_rows[i] != CropRowKeys::kNone) {
                plan.prefetch(first_rows[i]);
                __builtin_prefetch(&counts[first_rows[i]], 1);
            }
        }
        for (size_t i = 0; i < size; ++i) {
            if (first_rows[i] != CropRowKeys::kNone) {
                plan.prefetch_filters(first_rows[i]);
            }
        }
        for (size_t i = 0; i < size; ++i) {
            const uint32_t row = first_rows[i];
            const size_t at = point + i;
            // tag_run for one point of a crop row with an id pair of its own,
            // without the call.
            if (row != CropRowKeys::kNone && !plan.chained(row)) {
                const bool keep = plan.keeps(row, points, at);
                tags[at] = keep ? row : kRemoved;
                counts[row] += keep ? 1 : 0;
            } else {
                tag_run(points, keys, plan, row, at, at + 1, tags, counts);
            }
        }
        previous_row = CropRowKeys::kNone;
        point += size;
    }
}

// How many points ahead the copy starts fetching a survivor's destination.
constexpr size_t kWriteAhead = 16;

// Writes the survivors straight into their final places: a first pass tags
// each point with its crop row and counts each row's survivors per block of
// points, the counts give every (block, crop row) its output position, and a
// second pass copies. Crop rows come in ascending order, each row's points in
// table order, whatever the number of workers.
FloatTable copy_survivors(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                          const WorkerPool& pool) {
    const size_t rows = plan.rows.size();
    // Without both id columns no point belongs to any crop row.
    const size_t total = points.cols >= 2 ? points.rows : 0;
    const size_t blocks = point_blocks(total, pool);
    auto block_begin = [&](size_t block) { return total * block / blocks; };

    const Buffer<uint32_t> tags = make_buffer<uint32_t>(total);
    std::vector<size_t> position(blocks * rows, 0);
    pool.for_each(blocks, [&](size_t block) {
        tag_points(points, keys, plan, block_begin(block), block_begin(block + 1), tags.get(),
                   position.data() + block * rows);
    });
    size_t next = 0;
    for (size_t row = 0; row < rows; ++row) {
        for (size_t block = 0; block < blocks; ++block) {
            const size_t count = position[block * rows + row];
            position[block * rows + row] = next;
            next += count;
        }
    }

    FloatTable output = FloatTable::row_major(next, points.cols);
    pool.for_each(blocks, [&](size_t block) {
        size_t* positions = position.data() + block * rows;
        double* out = output.data();
        const size_t cols = points.cols;
        const size_t end = block_begin(block + 1);
        for (size_t point = block_begin(block); point < end;) {
            // Scattered survivors land at scattered places: start fetching
            // the place of one a little ahead.
            if (point + kWriteAhead < end && tags[point + kWriteAhead] < kSeveralRows) {
                __builtin_prefetch(out + positions[tags[point + kWriteAhead]] * cols, 1);
            }
            const uint32_t tag = tags[point];
            if (tag == kSeveralRows) {
                const uint32_t first_row = keys.first_row(integer_id(points.at(point, 0)),
                                                          integer_id(points.at(point, 1)));
                visit_surviving_rows(points, point, keys, plan, first_row, [&](uint32_t row) {
                    copy_rows(points, point, 1, out + positions[row]++ * cols);
                });
                ++point;
            } else if (tag == kRemoved) {
                ++point;
            } else {
                // Neighbouring survivors of one crop row stay neighbours.
                size_t run = 1;
                while (point + run < end && tags[point + run] == tag) {
                    ++run;
                }
                copy_rows(points, point, run, out + positions[tag] * cols);
                positions[tag] += run;
                point += run;
            }
        }
        finish_streaming();
    });
    return output;
}

}  // namespace

FloatTable multithreaded_merging(const TableView& connected_crop_rows,
                                 const TableView& points_in_rows, const TableView& row_information,
                                 double tolerance, unsigned long long num_threads) {
    const WorkerPool pool(resolve_worker_count(num_threads));
    // The two indexes are independent: build them side by side.
    std::unique_ptr<const CropRowKeys> keys;
    std::unique_ptr<const RowInformationIndex> info_index;
    pool.for_each(2, [&](size_t index) {
        if (index == 0) {
            keys = std::make_unique<const CropRowKeys>(connected_crop_rows, points_in_rows);
        } else {
            info_index = std::make_unique<const RowInformationIndex>(row_information);
        }
    });
    const CropRowKeys& row_keys = *keys;
    const MergeInputs inputs{connected_crop_rows, points_in_rows, row_information, row_keys,
                             *info_index,         tolerance};
    const RowFilters plan = plan_rows(inputs, pool);
    // Without both id columns no point belongs to any crop row.
    if (points_in_rows.cols >= 2) {
        FloatTable output;
        if (copy_survivors_in_table_order(points_in_rows, row_keys, plan, pool,
                                          point_blocks(points_in_rows.rows, pool), output)) {
            return output;
        }
    }
    return copy_survivors(points_in_rows, row_keys, plan, pool);
}

}  // namespace cropmerge
