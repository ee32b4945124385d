#include "engine/in_order_pass.h"

#include <vector>

#include "engine/block_pairs.h"
#include "engine/kept_points.h"
#include "engine/point_runs.h"
#include "engine/row_copy.h"

namespace cropmerge {

namespace {

// Whether crop row `row`, met after crop row `previous` (kNone for none) in
// the direction of the visit, breaks ascending crop-row order or shares its
// id pair with another crop row.
template <bool kBackward>
bool breaks_order(uint32_t row, uint32_t previous, const RowFilters& plan) {
    const bool out_of_order =
        previous != CropRowKeys::kNone && (kBackward ? row > previous : row < previous);
    return out_of_order || plan.chained(row);
}

// Copies the survivors of points [begin, end), in table order, as long as the
// points come in ascending crop-row order and no id pair names two crop rows;
// gives up at the first point that breaks this. Forward, the survivors are
// written upward from `out`; backward (from the last point to the first),
// downward so that they end at `out`.
template <bool kBackward>
OrderedBlock copy_block_in_table_order(const TableView& points, const CropRowKeys& keys,
                                       const RowFilters& plan, size_t begin, size_t end,
                                       double* out) {
    OrderedBlock block;
    uint32_t first_met = CropRowKeys::kNone;
    uint32_t previous = CropRowKeys::kNone;  // the crop row met last
    for (size_t cursor = kBackward ? end : begin; kBackward ? cursor > begin : cursor < end;) {
        const size_t run_begin = kBackward ? run_start(points, begin, cursor) : cursor;
        const size_t run_stop = kBackward ? cursor : run_end(points, cursor, end);
        const uint32_t row = first_row_of(points, keys, run_begin, previous, kBackward ? -1 : 1);
        if (row != CropRowKeys::kNone) {
            if (breaks_order<kBackward>(row, previous, plan)) {
                block.in_order = false;
                break;
            }
            if (first_met == CropRowKeys::kNone) {
                first_met = row;
            }
            previous = row;
            copy_kept_points<kBackward>(points, RowSurvival(points, plan, row), run_begin, run_stop,
                                        out, block.kept);
        }
        cursor = kBackward ? run_begin : run_stop;
    }
    block.first_row = kBackward ? previous : first_met;
    block.last_row = kBackward ? first_met : previous;
    finish_streaming();
    return block;
}

// Whether the first runs of points [begin, end), up to kProbeRuns of them,
// come in ascending crop-row order, none of a crop row that shares its id
// pair. Points in another order mostly show it at once: they are turned away
// here, before the pass writes to the output, whose every page costs a
// clearing the first time it is touched.
bool first_runs_in_order(const TableView& points, const CropRowKeys& keys, const RowFilters& plan,
                         size_t begin, size_t end) {
    constexpr size_t kProbeRuns = 16;
    uint32_t previous = CropRowKeys::kNone;
    size_t cursor = begin;
    for (size_t runs = 0; runs < kProbeRuns && cursor < end; ++runs) {
        const uint32_t row = first_row_of(points, keys, cursor, previous);
        if (row != CropRowKeys::kNone) {
            if (breaks_order<false>(row, previous, plan)) {
                return false;
            }
            previous = row;
        }
        cursor = run_end(points, cursor, end);
    }
    return true;
}

}  // namespace

bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                   const PassProgress& progress, FloatTable& output) {
    const std::vector<size_t> begins = even_block_begins(points.rows, blocks);
    for (size_t block = 0; block < blocks; ++block) {
        if (!first_runs_in_order(points, keys, plan, begins[block], begins[block + 1])) {
            return false;
        }
    }
    return copy_in_block_pairs(
        begins, points.cols, pool, progress, output,
        [&](size_t begin, size_t end, double* meet, bool backward) {
            return backward
                       ? copy_block_in_table_order<true>(points, keys, plan, begin, end, meet)
                       : copy_block_in_table_order<false>(points, keys, plan, begin, end, meet);
        });
}

}  // namespace cropmerge
