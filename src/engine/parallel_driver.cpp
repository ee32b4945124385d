#include "engine/parallel_driver.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include "engine/buffer.h"
#include "engine/crop_row_keys.h"
#include "engine/past_center_filter.h"
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

// How far ahead of the row being planned its lookups are fetched.
constexpr size_t kPrefetchRows = 8;

// Fewer points than this are not worth a thread of their own.
constexpr size_t kMinPointsPerBlock = size_t{1} << 16U;

// The filters of every crop row, stored back to back in row order.
struct RowFilters {
    std::vector<size_t> begin;  // rows + 1 offsets into `filters`
    std::vector<PastCenterFilter> filters;

    std::span<const PastCenterFilter> of_row(size_t row) const {
        return {filters.data() + begin[row], filters.data() + begin[row + 1]};
    }
};

// Runs the per-row half of the merge for every crop row, in parallel, while
// the progress bar counts the rows.
RowFilters plan_rows(const MergeInputs& inputs, const WorkerPool& pool) {
    const size_t rows = inputs.connected_crop_rows.rows;
    RowFilters plan;
    plan.begin.assign(rows + 1, 0);
    for (size_t row = 0; row < rows; ++row) {
        plan.begin[row + 1] =
            plan.begin[row] + connected_row_count(inputs.connected_crop_rows, row);
    }
    plan.filters.resize(plan.begin[rows]);

    ProgressBar bar(rows);
    const size_t per_task = rows_per_task(rows, pool.size());
    pool.for_each((rows + per_task - 1) / per_task, [&](size_t task) {
        const size_t end = std::min(rows, (task + 1) * per_task);
        for (size_t row = task * per_task; row < end; ++row) {
            if (row + kPrefetchRows < end) {
                prefetch_row_merge(row + kPrefetchRows, inputs);
            }
            plan_row_merge(row, inputs, plan.filters.data() + plan.begin[row]);
            bar.inc(1);
        }
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
        const std::span<const PastCenterFilter> filters = plan.of_row(row);
        if (filters.empty() ||
            survives_past_center_filters(filters, points.at(point, 2), points.at(point, 3))) {
            visit(row);
        }
    }
}

// Points are handled in batches so that the index and filter lookups of
// shuffled points are fetched ahead instead of waited for one by one.
constexpr size_t kBatch = 32;

uint64_t bits_of(double value) { return std::bit_cast<uint64_t>(value); }

// Decides, for the points in [begin, end), which crop row each survives in
// (kSeveralRows when its id pair names more than one crop row), and counts
// the survivors of every crop row.
void tag_points(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                size_t begin, size_t end, uint32_t* tags, size_t* counts) {
    uint64_t firsts[kBatch];
    uint64_t seconds[kBatch];
    bool new_pair[kBatch];
    uint32_t first_rows[kBatch];
    // Points usually come grouped by crop row: ids equal bit for bit to the
    // previous point's need neither conversion nor lookup.
    uint64_t last_bits[2] = {0, 0};
    bool have_last = false;
    uint32_t last_row = CropRowKeys::kNone;
    // The crop row whose filters `filters` holds.
    uint32_t row = CropRowKeys::kNone;
    bool shared = false;
    std::span<const PastCenterFilter> filters;
    for (size_t batch = begin; batch < end; batch += kBatch) {
        const size_t size = std::min(kBatch, end - batch);
        for (size_t i = 0; i < size; ++i) {
            const uint64_t bits[2] = {bits_of(points.at(batch + i, 0)),
                                      bits_of(points.at(batch + i, 1))};
            new_pair[i] = !have_last || bits[0] != last_bits[0] || bits[1] != last_bits[1];
            if (new_pair[i]) {
                firsts[i] = integer_id(points.at(batch + i, 0));
                seconds[i] = integer_id(points.at(batch + i, 1));
                keys.prefetch(firsts[i], seconds[i]);
                last_bits[0] = bits[0];
                last_bits[1] = bits[1];
                have_last = true;
            }
        }
        for (size_t i = 0; i < size; ++i) {
            if (new_pair[i]) {
                last_row = keys.first_row(firsts[i], seconds[i]);
                if (last_row != CropRowKeys::kNone) {
                    __builtin_prefetch(plan.filters.data() + plan.begin[last_row]);
                }
            }
            first_rows[i] = last_row;
        }
        for (size_t i = 0; i < size; ++i) {
            const size_t point = batch + i;
            if (first_rows[i] != row) {
                row = first_rows[i];
                if (row != CropRowKeys::kNone) {
                    shared = keys.next_row_with_same_ids(row) != CropRowKeys::kNone;
                    filters = plan.of_row(row);
                }
            }
            uint32_t tag = kRemoved;
            if (row == CropRowKeys::kNone) {
                // The point belongs to no crop row.
            } else if (!shared) {
                if (filters.empty() || survives_past_center_filters(filters, points.at(point, 2),
                                                                    points.at(point, 3))) {
                    ++counts[row];
                    tag = row;
                }
            } else {
                visit_surviving_rows(points, point, keys, plan, row, [&](uint32_t kept_in) {
                    ++counts[kept_in];
                    tag = kSeveralRows;
                });
            }
            tags[point] = tag;
        }
    }
}

// Copies points [first, first + count) to `out`, row-major.
void copy_rows(const TableView& points, size_t first, size_t count, double* out) {
    if (points.rows_are_contiguous() && points.row_stride == static_cast<ptrdiff_t>(points.cols)) {
        std::memcpy(out, points.row_start(first), count * points.cols * sizeof(double));
        return;
    }
    for (size_t point = first; point < first + count; ++point) {
        for (size_t col = 0; col < points.cols; ++col) {
            *out++ = points.at(point, col);
        }
    }
}

// Writes the survivors straight into their final places: a first pass tags
// each point with its crop row and counts each row's survivors per block of
// points, the counts give every (block, crop row) its output position, and a
// second pass copies. Crop rows come in ascending order, each row's points in
// table order, whatever the number of workers.
FloatTable copy_survivors(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                          const WorkerPool& pool) {
    const size_t rows = plan.begin.size() - 1;
    // Without both id columns no point belongs to any crop row.
    const size_t total = points.cols >= 2 ? points.rows : 0;
    const size_t blocks = std::clamp<size_t>(total / kMinPointsPerBlock, 1, pool.size());
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
    });
    return output;
}

}  // namespace

FloatTable multithreaded_merging(const TableView& connected_crop_rows,
                                 const TableView& points_in_rows, const TableView& row_information,
                                 double tolerance, unsigned long long num_threads) {
    const WorkerPool pool(resolve_worker_count(num_threads));
    const CropRowKeys keys(connected_crop_rows, points_in_rows);
    const RowInformationIndex info_index(row_information);
    const MergeInputs inputs{connected_crop_rows, points_in_rows, row_information, keys,
                             info_index,          tolerance};
    const RowFilters plan = plan_rows(inputs, pool);
    return copy_survivors(points_in_rows, keys, plan, pool);
}

}  // namespace cropmerge
