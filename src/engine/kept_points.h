#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/float_table.h"
#include "engine/past_center_filter.h"
#include "engine/row_copy.h"
#include "engine/row_filters.h"

namespace cropmerge {

// Whether points of one crop row survive: its filters and near box held
// apart from the plan, because the copy loops that read them through the
// plan ran measurably slower.
class RowSurvival {
public:
    RowSurvival(const TableView& points, const RowFilters& plan, uint32_t row)
        : points_(points), filters_(plan.of_row(row)), box_(plan.near_boxes[row]) {}

    bool keeps(size_t point) const { return keeps_point(filters_, box_, points_, point); }

private:
    const TableView& points_;
    std::span<const PastCenterFilter> filters_;
    NearBox box_;
};

// Copies the kept points of [begin, stop), one crop row's, visiting them
// forward or backward; `kept` counts the points already written. Forward,
// they are written upward from `out`; backward, downward to end at `out`.
// Every point visited must also be one that `belongs` to the crop row: at
// the first that is not, the copy stops and gives false.
template <bool kBackward, class Belongs>
bool copy_kept_points(const TableView& points, const RowSurvival& survival, size_t begin,
                      size_t stop, double* out, size_t& kept, const Belongs& belongs) {
    const size_t count = stop - begin;
    // The point `step` steps into the run, in the direction of the visit.
    auto at = [&](size_t step) { return kBackward ? stop - 1 - step : begin + step; };
    for (size_t from = 0; from < count;) {
        size_t to = from;
        for (; to < count; ++to) {
            if (!belongs(at(to))) {
                return false;
            }
            if (!survival.keeps(at(to))) {
                break;
            }
        }
        const size_t length = to - from;
        const size_t first = kBackward ? stop - to : begin + from;
        double* place = kBackward ? out - (kept + length) * points.cols : out + kept * points.cols;
        copy_rows(points, first, length, place);
        kept += length;
        from = to + 1;  // past the removed point, if any
    }
    return true;
}

// The same for points known to belong to the crop row.
template <bool kBackward>
void copy_kept_points(const TableView& points, const RowSurvival& survival, size_t begin,
                      size_t stop, double* out, size_t& kept) {
    copy_kept_points<kBackward>(points, survival, begin, stop, out, kept,
                                [](size_t /*point*/) { return true; });
}

}  // namespace cropmerge
