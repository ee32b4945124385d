#include "engine/crop_row_keys.h"

#include <algorithm>
#include <stdexcept>

namespace cropmerge {

CropRowKeys::CropRowKeys(const TableView& connected_crop_rows, const TableView& points_in_rows)
    : crop_rows_(connected_crop_rows) {
    if (points_in_rows.cols == 1) {
        first_ids_ = PairIndex(points_in_rows.rows);
        for (size_t point = 0; point < points_in_rows.rows; ++point) {
            first_ids_.insert(integer_id(points_in_rows.at(point, 0)), 0, 0);
        }
    }
    // Without both id columns no crop row gets as far as gathering points.
    if (connected_crop_rows.cols < 3) {
        return;
    }
    const size_t rows = connected_crop_rows.rows;
    // Two values of a 32-bit row index are kept for markers.
    if (rows >= kNone - 1) {
        throw std::length_error("too many crop rows");
    }
    rows_ = PairIndex(rows);
    first_of_row_.resize(rows);
    next_row_.assign(rows, kNone);
    std::vector<uint32_t> last_row(rows, kNone);  // of each chain, at its first row
    for (size_t row = 0; row < rows; ++row) {
        const auto index = static_cast<uint32_t>(row);
        const uint32_t first = rows_.insert(integer_id(connected_crop_rows.at(row, 1)),
                                            integer_id(connected_crop_rows.at(row, 2)), index);
        if (first != index) {
            next_row_[last_row[first]] = index;
        }
        last_row[first] = index;
        first_of_row_[row] = first;
    }
    if (points_in_rows.cols == 2 || points_in_rows.cols == 3) {
        row_has_points_.assign(rows, false);
        for (size_t point = 0; point < points_in_rows.rows; ++point) {
            for (uint32_t row = first_row(integer_id(points_in_rows.at(point, 0)),
                                          integer_id(points_in_rows.at(point, 1)));
                 row != kNone && !row_has_points_[row]; row = next_row_[row]) {
                row_has_points_[row] = true;
            }
        }
    }
}

void CropRowKeys::make_direct_table(size_t points) {
    const size_t rows = first_of_row_.size();
    uint64_t max_first = 0;
    uint64_t max_second = 0;
    for (size_t row = 0; row < rows; ++row) {
        max_first = std::max(max_first, integer_id(crop_rows_.at(row, 1)));
        max_second = std::max(max_second, integer_id(crop_rows_.at(row, 2)));
    }
    // A few entries per crop row, or one per point, at most: sparse ids keep
    // the hash, and filling the table costs less than the lookups it saves.
    const size_t limit = std::max({4 * rows, points, size_t{1} << 16U});
    if (max_first >= limit || max_second >= limit || (max_first + 1) > limit / (max_second + 1)) {
        return;
    }
    direct_firsts_ = max_first + 1;
    direct_width_ = max_second + 1;
    // A Buffer, not a vector: on huge pages its first touches fault far less.
    direct_ = make_buffer<uint32_t>(direct_firsts_ * direct_width_);
    std::fill_n(direct_.get(), direct_firsts_ * direct_width_, kNone);
    for (size_t row = 0; row < rows; ++row) {
        direct_[integer_id(crop_rows_.at(row, 1)) * direct_width_ +
                integer_id(crop_rows_.at(row, 2))] = first_of_row_[row];
    }
}

}  // namespace cropmerge
