#include "engine/past_center_filter.h"

#include <cmath>
#include <limits>

namespace cropmerge {

namespace {

// Narrows [low, high] to the values v with sign * v <= bound. The sign is 1
// or -1, so the test is v <= bound or v >= -bound exactly. A NaN bound
// keeps nothing: it makes the interval NaN, which holds nothing.
void narrow_axis(double sign, double bound, double& low, double& high) {
    if (sign > 0.0) {
        high = bound < high || std::isnan(bound) ? bound : high;
    } else {
        low = -bound > low || std::isnan(bound) ? -bound : low;
    }
}

}  // namespace

PastCenterFilter::PastCenterFilter(Point center, Point near_end, double tolerance) {
    const double ax = center.x;
    const double ay = center.y;
    const double bx = near_end.x;
    const double by = near_end.y;
    const double t = tolerance;
    const double distance = std::sqrt((ax - bx) * (ax - bx) + (ay - by) * (ay - by));
    if (distance < t) {
        near_x_ = near_y_ = std::numeric_limits<double>::infinity();
        beyond_x_ = beyond_y_ = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    // Which side of A the kept points lie on, per axis. Only the two strictly
    // ordered configurations with x rising keep x on the low side; only the
    // two strictly ordered ones with equal sense keep y on the low side.
    // Everything else (ties, NaN, x falling with y rising) is the default case.
    if (ax < bx && ay < by) {
        sign_x_ = 1.0;
        sign_y_ = 1.0;
    } else if (ax < bx && ay > by) {
        sign_x_ = 1.0;
        sign_y_ = -1.0;
    } else if (ax > bx && ay > by) {
        sign_x_ = -1.0;
        sign_y_ = -1.0;
    } else {
        sign_x_ = -1.0;
        sign_y_ = 1.0;
    }
    // Near A: x <= ax + t (sign +) or x >= ax - t (sign -), likewise for y.
    near_x_ = sign_x_ * (ax + sign_x_ * t);
    near_y_ = sign_y_ * (ay + sign_y_ * t);
    // Beyond B, on the opposite side: x >= bx + t (sign +) or x <= bx - t (sign -).
    beyond_x_ = -sign_x_ * (bx + sign_x_ * t);
    beyond_y_ = -sign_y_ * (by + sign_y_ * t);
}

void PastCenterFilter::narrow(NearBox& box) const {
    narrow_axis(sign_x_, near_x_, box.x_low, box.x_high);
    narrow_axis(sign_y_, near_y_, box.y_low, box.y_high);
}

}  // namespace cropmerge
