#include "engine/parallel_driver.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// Where a crop row's filters are, and whether a later crop row shares its
// id pair: what a point needs of its crop row, in one read.
struct RowEntry {
    uint64_t filters_begin : 40;  // at most 4 filters for each of < 2^32 rows
    uint64_t filter_count : 3;
    uint64_t chained : 1;
};

// The filters of every crop row, stored back to back in row order.
struct RowFilters {
    std::vector<RowEntry> rows;
    std::vector<PastCenterFilter> filters;

    std::span<const PastCenterFilter> of_row(size_t row) const {
        return {filters.data() + rows[row].filters_begin, rows[row].filter_count};
    }
    // Whether a later crop row has the same id pair as `row`.
    bool chained(size_t row) const { return rows[row].chained != 0; }
    void prefetch(size_t row) const { __builtin_prefetch(&rows[row]); }
    void prefetch_filters(size_t row) const {
        __builtin_prefetch(filters.data() + rows[row].filters_begin);
    }
};

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
        const std::span<const PastCenterFilter> filters = plan.of_row(row);
        if (filters.empty() ||
            survives_past_center_filters(filters, points.at(point, 2), points.at(point, 3))) {
            visit(row);
        }
    }
}

uint64_t bits_of(double value) { return std::bit_cast<uint64_t>(value); }

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

// The end of the run of points from `point` on whose id columns are equal,
// bit for bit; at most `end`.
size_t run_end(const TableView& points, size_t point, size_t end) {
    const uint64_t first_bits = bits_of(points.at(point, 0));
    const uint64_t second_bits = bits_of(points.at(point, 1));
    size_t stop = point + 1;
    while (stop < end && bits_of(points.at(stop, 0)) == first_bits &&
           bits_of(points.at(stop, 1)) == second_bits) {
        ++stop;
    }
    return stop;
}

// The start of the run of points up to `stop` whose id columns are equal,
// bit for bit; at least `begin`.
size_t run_start(const TableView& points, size_t begin, size_t stop) {
    const uint64_t first_bits = bits_of(points.at(stop - 1, 0));
    const uint64_t second_bits = bits_of(points.at(stop - 1, 1));
    size_t start = stop - 1;
    while (start > begin && bits_of(points.at(start - 1, 0)) == first_bits &&
           bits_of(points.at(start - 1, 1)) == second_bits) {
        --start;
    }
    return start;
}

// The first crop row with the point's id pair. Points often come grouped by
// crop row, and the groups in the crop rows' own order: the crop row next to
// the neighbouring group's (`step` away from `neighbour_row`) is tried before
// the index.
uint32_t first_row_of(const TableView& points, const CropRowKeys& keys, size_t point,
                      uint32_t neighbour_row, int step = 1) {
    const uint64_t first = integer_id(points.at(point, 0));
    const uint64_t second = integer_id(points.at(point, 1));
    return neighbour_row != CropRowKeys::kNone
               ? keys.first_row(first, second, neighbour_row + static_cast<size_t>(step))
               : keys.first_row(first, second);
}

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
                const bool keep = survives_past_center_filters(plan.of_row(row), points.at(at, 2),
                                                               points.at(at, 3));
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

// Long runs of survivors are written with streaming stores; a scattered
// survivor fills part of a line, which streaming stores handle badly.
constexpr size_t kMinStreamedBytes = 256;

// Copies `bytes` bytes to memory that nothing reads before the copy pass
// ends. Streaming stores skip reading each destination line before writing
// it, which is a third of the traffic of a copy into fresh memory.
void stream_bytes(char* to, const char* from, size_t bytes) {
#if defined(__SSE2__)
    if (bytes < kMinStreamedBytes) {
        std::memcpy(to, from, bytes);
        return;
    }
    const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16);
    std::memcpy(to, from, head);
    size_t done = head;
    for (; done + 16 <= bytes; done += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + done),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done)));
    }
    std::memcpy(to + done, from + done, bytes - done);
#else
    std::memcpy(to, from, bytes);
#endif
}

// Orders the streaming stores before the threads that made them are joined.
void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Copies points [first, first + count) to `out`, row-major.
void copy_rows(const TableView& points, size_t first, size_t count, double* out) {
    if (points.rows_are_contiguous() && points.row_stride == static_cast<ptrdiff_t>(points.cols)) {
        stream_bytes(reinterpret_cast<char*>(out),
                     reinterpret_cast<const char*>(points.row_start(first)),
                     count * points.cols * sizeof(double));
        return;
    }
    for (size_t point = first; point < first + count; ++point) {
        for (size_t col = 0; col < points.cols; ++col) {
            *out++ = points.at(point, col);
        }
    }
}

// What copying one block of points in table order found.
struct InOrderBlock {
    bool in_order = true;
    uint32_t first_row = CropRowKeys::kNone;  // the first and last crop row met
    uint32_t last_row = CropRowKeys::kNone;
    size_t kept = 0;
};

// Whether points [begin, end), of one crop row, survive.
class RowSurvival {
public:
    RowSurvival(const TableView& points, const RowFilters& plan, uint32_t row)
        : points_(points), filters_(plan.of_row(row)) {}

    bool keeps(size_t point) const {
        return filters_.empty() ||
               survives_past_center_filters(filters_, points_.at(point, 2), points_.at(point, 3));
    }

private:
    const TableView& points_;
    std::span<const PastCenterFilter> filters_;
};

// Copies the survivors of points [begin, end), in table order, to `out`,
// as long as the points come in ascending crop-row order and no id pair names
// two crop rows; gives up at the first point that breaks this.
InOrderBlock copy_block_in_table_order(const TableView& points, const CropRowKeys& keys,
                                       const RowFilters& plan, size_t begin, size_t end,
                                       double* out) {
    InOrderBlock block;
    for (size_t point = begin; point < end;) {
        const size_t stop = run_end(points, point, end);
        const uint32_t row = first_row_of(points, keys, point, block.last_row);
        if (row != CropRowKeys::kNone) {
            if ((block.last_row != CropRowKeys::kNone && row < block.last_row) ||
                plan.chained(row)) {
                block.in_order = false;
                break;
            }
            if (block.first_row == CropRowKeys::kNone) {
                block.first_row = row;
            }
            block.last_row = row;
            const RowSurvival survival(points, plan, row);
            for (size_t kept_from = point; kept_from < stop;) {
                size_t kept_to = kept_from;
                while (kept_to < stop && survival.keeps(kept_to)) {
                    ++kept_to;
                }
                copy_rows(points, kept_from, kept_to - kept_from, out + block.kept * points.cols);
                block.kept += kept_to - kept_from;
                kept_from = kept_to + 1;  // past the removed point, if any
            }
        }
        point = stop;
    }
    finish_streaming();
    return block;
}

// The same, from the last point back: the survivors are written downward so
// that they end at `out_end`.
InOrderBlock copy_block_in_table_order_backward(const TableView& points, const CropRowKeys& keys,
                                                const RowFilters& plan, size_t begin, size_t end,
                                                double* out_end) {
    InOrderBlock block;
    for (size_t stop = end; stop > begin;) {
        const size_t point = run_start(points, begin, stop);
        const uint32_t row = first_row_of(points, keys, point, block.first_row, -1);
        if (row != CropRowKeys::kNone) {
            if ((block.first_row != CropRowKeys::kNone && row > block.first_row) ||
                plan.chained(row)) {
                block.in_order = false;
                break;
            }
            if (block.last_row == CropRowKeys::kNone) {
                block.last_row = row;
            }
            block.first_row = row;
            const RowSurvival survival(points, plan, row);
            for (size_t kept_to = stop; kept_to > point;) {
                size_t kept_from = kept_to;
                while (kept_from > point && survival.keeps(kept_from - 1)) {
                    --kept_from;
                }
                block.kept += kept_to - kept_from;
                copy_rows(points, kept_from, kept_to - kept_from,
                          out_end - block.kept * points.cols);
                if (kept_from == point) {
                    break;
                }
                kept_to = kept_from - 1;  // before the removed point
            }
        }
        stop = point;
    }
    finish_streaming();
    return block;
}

// Points listed in crop-row order (as a pipeline that writes each crop row's
// detections in turn produces them) survive in table order, so one pass can
// filter and copy them. The blocks of points go in pairs that meet where the
// second one starts: the first block writes its survivors downward from
// there, the second upward, so a pair's survivors come out together. Pairs
// are then closed up. Returns false, having written nothing of use, when the
// points are not in that order.
bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool,
                                   FloatTable& output) {
    const size_t total = points.rows;
    const size_t blocks = std::clamp<size_t>(total / kMinPointsPerBlock, 1, pool.size());
    auto block_begin = [&](size_t block) { return total * block / blocks; };
    // Where a block's pair meets: blocks 2k and 2k + 1 meet at the start of
    // 2k + 1; a last block without a partner writes upward from its start.
    auto meeting = [&](size_t block) { return block_begin(std::min(block | 1U, blocks - 1)); };
    output = FloatTable::row_major(total, points.cols);
    std::vector<InOrderBlock> found(blocks);
    pool.for_each(blocks, [&](size_t block) {
        double* meet = output.data() + meeting(block) * points.cols;
        const size_t begin = block_begin(block);
        const size_t end = block_begin(block + 1);
        if (block % 2 == 0 && block + 1 < blocks) {
            found[block] = copy_block_in_table_order_backward(points, keys, plan, begin, end, meet);
        } else {
            found[block] = copy_block_in_table_order(points, keys, plan, begin, end, meet);
        }
    });
    uint32_t last_row = CropRowKeys::kNone;
    for (const InOrderBlock& block : found) {
        if (!block.in_order || (block.first_row != CropRowKeys::kNone &&
                                last_row != CropRowKeys::kNone && block.first_row < last_row)) {
            return false;
        }
        if (block.last_row != CropRowKeys::kNone) {
            last_row = block.last_row;
        }
    }
    // Where a pair's survivors start, and how many there are.
    auto pair_first = [&](size_t block) {
        return meeting(block) - (block + 1 < blocks ? found[block].kept : 0);
    };
    auto pair_kept = [&](size_t block) {
        return found[block].kept + (block + 1 < blocks ? found[block + 1].kept : 0);
    };
    const size_t first = pair_first(0);
    size_t kept = 0;
    for (size_t block = 0; block < blocks; block += 2) {
        if (pair_first(block) != first + kept) {
            std::memmove(output.data() + (first + kept) * points.cols,
                         output.data() + pair_first(block) * points.cols,
                         pair_kept(block) * points.cols * sizeof(double));
        }
        kept += pair_kept(block);
    }
    output.keep_rows(first, kept);
    return true;
}

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
        if (copy_survivors_in_table_order(points_in_rows, row_keys, plan, pool, output)) {
            return output;
        }
    }
    return copy_survivors(points_in_rows, row_keys, plan, pool);
}

}  // namespace cropmerge
