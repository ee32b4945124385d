#include "engine/crop_row_keys.h"

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

}  // namespace cropmerge
