#include "engine/in_order_pass.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/point_runs.h"
#include "engine/row_copy.h"

namespace cropmerge {

namespace {

// What copying one block of points in table order found.
struct InOrderBlock {
    bool in_order = true;
    uint32_t first_row = CropRowKeys::kNone;  // the first and last crop row met
    uint32_t last_row = CropRowKeys::kNone;
    size_t kept = 0;
};

// Whether points [begin, end), of one crop row, survive: keeps_point, written
// out here because this loop built on it ran 5 % slower at the large size.
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

}  // namespace

bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                   FloatTable& output) {
    const size_t total = points.rows;
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

}  // namespace cropmerge
