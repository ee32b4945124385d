#include "engine/row_merge.h"

#include <cmath>

#include "engine/failure.h"

namespace cropmerge {

namespace {

constexpr size_t kInfoFirstAnchor = 5;
constexpr size_t kInfoColumns = 11;

std::array<Point, 3> anchor_points(const TableView& info, size_t row) {
    std::array<Point, 3> anchors{};
    for (size_t k = 0; k < 3; ++k) {
        anchors[k] = {info.at(row, kInfoFirstAnchor + 2 * k),
                      info.at(row, kInfoFirstAnchor + 2 * k + 1)};
    }
    return anchors;
}

double dot(Point a, Point b) { return (0.0 + a.x * b.x) + a.y * b.y; }

}  // namespace

FacingEnds find_facing_ends(const std::array<Point, 3>& own,
                            const std::array<Point, 3>& connected) {
    double best = 0.0;
    size_t best_own = 0;
    size_t best_connected = 0;
    for (size_t a = 0; a < 3; ++a) {
        for (size_t b = 0; b < 3; ++b) {
            const double dx = own[a].x - connected[b].x;
            const double dy = own[a].y - connected[b].y;
            const double distance = std::sqrt(dx * dx + dy * dy);
            if (distance > best) {
                best = distance;
                best_own = a;
                best_connected = b;
            }
        }
    }
    return {own[best_own], best_own == 0 ? own[1] : own[0],
            best_connected == 0 ? connected[1] : connected[0]};
}

Point project_point_onto_line(Point point, Point line_start, Point line_point) {
    const Point direction{line_point.x - line_start.x, line_point.y - line_start.y};
    const Point offset{point.x - line_start.x, point.y - line_start.y};
    const double t = dot(offset, direction) / dot(direction, direction);
    return {line_start.x + direction.x * t, line_start.y + direction.y * t};
}

size_t connected_row_count(const TableView& connected_crop_rows, size_t row) {
    size_t count = 0;
    while (count < kMaxConnectedRows && 2 * count + 3 < connected_crop_rows.cols &&
           !std::isnan(connected_crop_rows.at(row, 2 * count + 3))) {
        ++count;
    }
    return count;
}

namespace {

// Reads the id pair in slot `slot` of crop row `row`'s connected rows into
// `pair`; false when the slot's first id is NaN (the list ends there).
bool read_connected_pair(const TableView& crop_rows, size_t row, size_t slot,
                         std::array<double, 2>& pair) {
    const size_t first_column = 2 * slot + 3;
    if (first_column >= crop_rows.cols) {
        fail(kIndexOutOfBounds);
    }
    pair[0] = crop_rows.at(row, first_column);
    if (std::isnan(pair[0])) {
        return false;
    }
    if (first_column + 1 >= crop_rows.cols) {
        fail(kIndexOutOfBounds);
    }
    pair[1] = crop_rows.at(row, first_column + 1);
    return true;
}

// The filter of the junction between two rows of row_information: the
// facing ends of the two rows and the center between them.
PastCenterFilter junction_filter(const TableView& info, size_t own_row, size_t connected_row,
                                 double tolerance) {
    const FacingEnds ends =
        find_facing_ends(anchor_points(info, own_row), anchor_points(info, connected_row));
    const Point midpoint{(ends.near_end.x + ends.connected_near_end.x) * 0.5,
                         (ends.near_end.y + ends.connected_near_end.y) * 0.5};
    const Point center = project_point_onto_line(midpoint, ends.near_end, ends.far_point);
    return PastCenterFilter(center, ends.near_end, tolerance);
}

// Fails where gathering the crop row's points reads past the points'
// width; returns whether filtering them would.
bool check_point_columns(const MergeInputs& inputs, uint64_t row_index, uint64_t first_id) {
    const TableView& points = inputs.points_in_rows;
    // Gathering reads column 0 of every point, and column 1 of every point
    // whose first id matches.
    if ((points.cols == 0 && points.rows > 0) ||
        (points.cols == 1 && inputs.keys.has_first_id(first_id))) {
        fail(kIndexOutOfBounds);
    }
    // Filtering reads x and y (columns 2 and 3) of every point in the list.
    return (points.cols == 2 || points.cols == 3) && inputs.keys.row_has_points(row_index);
}

}  // namespace

size_t plan_row_merge(uint64_t row_index, const MergeInputs& inputs,
                      std::span<PastCenterFilter> filters) {
    const TableView& crop_rows = inputs.connected_crop_rows;
    const TableView& info = inputs.row_information;

    if (row_index >= crop_rows.rows) {
        fail(kRowIndexAssertion);
    }
    if (crop_rows.cols < 3) {
        fail(kIndexOutOfBounds);
    }
    const uint64_t first_id = integer_id(crop_rows.at(row_index, 1));
    const uint64_t second_id = integer_id(crop_rows.at(row_index, 2));
    const bool filter_reads_past_width = check_point_columns(inputs, row_index, first_id);

    // Tables usually list a crop row's information at its own index.
    const size_t own_row = inputs.info_index.own_row(first_id, second_id, row_index, inputs.keys);

    size_t count = 0;
    std::array<double, 2> pair{};
    for (; count < kMaxConnectedRows && read_connected_pair(crop_rows, row_index, count, pair);
         ++count) {
        const size_t connected_row = inputs.info_index.connected_row(pair[0], pair[1], inputs.keys);
        if (info.cols != kInfoColumns) {
            fail(kIncompatibleShape);
        }
        // The junction's geometry reads no point and cannot fail.
        if (filter_reads_past_width) {
            fail(kIndexOutOfBounds);
        }
        // The caller's table is read where it lies, and another thread may be
        // writing to it (NumPy's functions let go of the GIL): the list may
        // have grown since `filters` was sized by it.
        if (count == filters.size()) {
            break;
        }
        filters[count] = junction_filter(info, own_row, connected_row, inputs.tolerance);
    }
    return count;
}

void prefetch_row_merge(uint64_t row_index, const MergeInputs& inputs) {
    const TableView& crop_rows = inputs.connected_crop_rows;
    if (row_index >= crop_rows.rows) {
        return;
    }
    const size_t count = connected_row_count(crop_rows, row_index);
    for (size_t slot = 0; slot < count && 2 * slot + 4 < crop_rows.cols; ++slot) {
        inputs.info_index.prefetch_connected_row(crop_rows.at(row_index, 2 * slot + 3),
                                                 crop_rows.at(row_index, 2 * slot + 4),
                                                 inputs.keys);
    }
}

}  // namespace cropmerge
