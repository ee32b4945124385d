#include "engine/in_order_pass.h"

#include <span>

#include "engine/block_pairs.h"
#include "engine/point_runs.h"
#include "engine/row_copy.h"

namespace cropmerge {

namespace {

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

// Copies the kept points of [begin, stop), one crop row's, visiting them
// forward or backward; `kept` counts the points already written. Forward,
// they are written upward from `out`; backward, downward to end at `out`.
template <bool kBackward>
void copy_kept_points(const TableView& points, const RowSurvival& survival, size_t begin,
                      size_t stop, double* out, size_t& kept) {
    const size_t count = stop - begin;
    // The point `step` steps into the run, in the direction of the visit.
    auto at = [&](size_t step) { return kBackward ? stop - 1 - step : begin + step; };
    for (size_t from = 0; from < count;) {
        size_t to = from;
        while (to < count && survival.keeps(at(to))) {
            ++to;
        }
        const size_t length = to - from;
        const size_t first = kBackward ? stop - to : begin + from;
        double* place = kBackward ? out - (kept + length) * points.cols : out + kept * points.cols;
        copy_rows(points, first, length, place);
        kept += length;
        from = to + 1;  // past the removed point, if any
    }
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
            const bool out_of_order =
                previous != CropRowKeys::kNone && (kBackward ? row > previous : row < previous);
            if (out_of_order || plan.chained(row)) {
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

}  // namespace

bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                   const PassProgress& progress, FloatTable& output) {
    return copy_in_block_pairs(
        points.rows, points.cols, pool, blocks, progress, output,
        [&](size_t begin, size_t end, double* meet, bool backward) {
            return backward
                       ? copy_block_in_table_order<true>(points, keys, plan, begin, end, meet)
                       : copy_block_in_table_order<false>(points, keys, plan, begin, end, meet);
        });
}

}  // namespace cropmerge
