#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/float_table.h"
#include "engine/past_center_filter.h"
#include "engine/prefetch.h"

namespace cropmerge {

// Where a crop row's filters are, and whether a later crop row shares its
// id pair: what a point needs of its crop row, in one read.
struct RowEntry {
    uint64_t filters_begin : 40;  // at most 4 filters for each of < 2^32 rows
    uint64_t filter_count : 3;
    uint64_t chained : 1;
};

// Whether `filters` (one crop row's) keep the point at row `point` of
// `points`. Without filters every point is kept and its coordinates are not
// read: a table too narrow to hold them can still have crop rows that keep
// all their points.
inline bool keeps_point(std::span<const PastCenterFilter> filters, const TableView& points,
                        size_t point) {
    return filters.empty() ||
           survives_past_center_filters(filters, points.at(point, 2), points.at(point, 3));
}

// The same, trying the crop row's near box first, which decides most of its
// points with one test.
inline bool keeps_point(std::span<const PastCenterFilter> filters, const NearBox& box,
                        const TableView& points, size_t point) {
    if (filters.empty()) {
        return true;
    }
    const double x = points.at(point, 2);
    const double y = points.at(point, 3);
    return box.contains(x, y) || survives_past_center_filters(filters, x, y);
}

// The filters of every crop row, stored back to back in row order.
struct RowFilters {
    std::vector<RowEntry> rows;
    std::vector<PastCenterFilter> filters;
    // Per crop row, the points all its filters keep near their centers: most
    // of a crop row's points, decided by one test instead of one per filter.
    std::vector<NearBox> near_boxes;

    std::span<const PastCenterFilter> of_row(size_t row) const {
        return {filters.data() + rows[row].filters_begin, rows[row].filter_count};
    }
    bool keeps(size_t row, const TableView& points, size_t point) const {
        return keeps_point(of_row(row), points, point);
    }
    // The same, trying the crop row's near box first: for crop rows whose
    // plan is in cache, as the box is one more line to fetch.
    bool keeps_nearby(size_t row, const TableView& points, size_t point) const {
        return keeps_point(of_row(row), near_boxes[row], points, point);
    }
    // Whether a later crop row has the same id pair as `row`.
    bool chained(size_t row) const { return rows[row].chained != 0; }
    void prefetch(size_t row) const { prefetch_for_read(&rows[row]); }
    void prefetch_filters(size_t row) const {
        prefetch_for_read(filters.data() + rows[row].filters_begin);
    }
};

}  // namespace cropmerge
