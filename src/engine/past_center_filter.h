#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/float_table.h"

namespace cropmerge {

struct Point {
    double x;
    double y;
};

// The keep/remove decision for one junction: a point is kept when it lies,
// in both coordinates, on the far side of the center A as seen from the near
// end B (reaching up to one tolerance past A), or at least one tolerance past
// B away from A. When A and B are closer than the tolerance every point whose
// coordinates are numbers is kept.
//
// Each of the four axis-wise cases is folded into one form by sign flips,
// which are exact: `x <= X` in one case is `-x <= -X` in the mirrored one, so
// every bound is the same single addition or subtraction and NaN still fails
// every comparison.
class PastCenterFilter {
public:
    PastCenterFilter() = default;
    PastCenterFilter(Point center, Point near_end, double tolerance);

    bool keeps(double x, double y) const {
        if (keep_all_numbers_) {
            return x == x && y == y;
        }
        double fx = sign_x_ * x;
        double fy = sign_y_ * y;
        return (fx <= near_x_ && fy <= near_y_) || (-fx <= beyond_x_ && -fy <= beyond_y_);
    }

private:
    bool keep_all_numbers_ = false;
    double sign_x_ = 1.0;
    double sign_y_ = 1.0;
    double near_x_ = 0.0;
    double near_y_ = 0.0;
    double beyond_x_ = 0.0;
    double beyond_y_ = 0.0;
};

// Filters the points named by `candidates` (row indices of `points`, which must
// have at least 4 columns) through every filter in turn and writes the indices
// of the survivors, in order, to `kept`; returns how many. `kept` may be
// `candidates.data()`: writing never overtakes reading.
size_t remove_points_past_center(const TableView& points, std::span<const uint64_t> candidates,
                                 std::span<const PastCenterFilter> filters, uint64_t* kept);

}  // namespace cropmerge
