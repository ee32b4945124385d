#pragma once

#include <limits>
#include <span>

namespace cropmerge {

struct Point {
    double x;
    double y;
};

// The points that a crop row's filters all keep by their test near the
// center: an interval on each axis. A point inside is kept by every filter,
// whichever it is; one outside may still be kept beyond a near end, which
// only the filters themselves can tell. A box made without filters holds no
// point, so that the filters decide every one.
struct NearBox {
    static constexpr double kInfinity = std::numeric_limits<double>::infinity();
    double x_low = kInfinity;
    double x_high = -kInfinity;
    double y_low = kInfinity;
    double y_high = -kInfinity;

    // The box that holds every point with numeric coordinates.
    static NearBox everywhere() { return {-kInfinity, kInfinity, -kInfinity, kInfinity}; }

    bool contains(double x, double y) const {
        return x_low <= x && x <= x_high && y_low <= y && y <= y_high;
    }
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
// every comparison. Keeping every point whose coordinates are numbers is the
// same form with infinite near bounds and NaN beyond bounds. So the decision
// has no branch, whatever the case.
class PastCenterFilter {
public:
    PastCenterFilter() = default;
    PastCenterFilter(Point center, Point near_end, double tolerance);

    bool keeps(double x, double y) const {
        const double fx = sign_x_ * x;
        const double fy = sign_y_ * y;
        const bool near_x = fx <= near_x_;
        const bool near_y = fy <= near_y_;
        const bool beyond_x = -fx <= beyond_x_;
        const bool beyond_y = -fy <= beyond_y_;
        return (near_x && near_y) || (beyond_x && beyond_y);
    }

    // Shrinks `box` to the points this filter keeps by its test near the
    // center.
    void narrow(NearBox& box) const;

private:
    double sign_x_ = 1.0;
    double sign_y_ = 1.0;
    double near_x_ = 0.0;
    double near_y_ = 0.0;
    double beyond_x_ = 0.0;
    double beyond_y_ = 0.0;
};

// Whether the point at (x, y) is kept by every filter: the filters of a
// crop row's connected rows apply one after another, so a point survives the
// row's merge exactly when each of them keeps it.
inline bool survives_past_center_filters(std::span<const PastCenterFilter> filters, double x,
                                         double y) {
    bool kept = true;
    for (const PastCenterFilter& filter : filters) {
        kept = filter.keeps(x, y) && kept;
    }
    return kept;
}

// The box of points that all of `filters` keep near their centers.
inline NearBox near_box(std::span<const PastCenterFilter> filters) {
    NearBox box = NearBox::everywhere();
    for (const PastCenterFilter& filter : filters) {
        filter.narrow(box);
    }
    return box;
}

}  // namespace cropmerge
