#include "engine/crop_row_keys.h"

#include <algorithm>

#include "engine/failure.h"

namespace cropmerge {

CropRowKeys::CropRowKeys(const TableView& connected_crop_rows, const TableView& points_in_rows)
    : crop_rows_(connected_crop_rows) {
    if (points_in_rows.cols == 1) {
        index_first_ids(points_in_rows);
    }
    // Without both id columns no crop row gets as far as gathering points.
    if (connected_crop_rows.cols < 3) {
        return;
    }
    const size_t rows = connected_crop_rows.rows;
    // Two values of a 32-bit row index are kept for markers.
    if (rows >= kNone - 1) {
        fail("too many crop rows");
    }
    std::vector<std::array<uint64_t, 2>> ids(rows);
    for (size_t row = 0; row < rows; ++row) {
        ids[row] = {integer_id(connected_crop_rows.at(row, 1)),
                    integer_id(connected_crop_rows.at(row, 2))};
    }
    // A few entries per crop row, or half an entry per point, at most:
    // sparse ids keep the hash. Entries are counted in 32 bits.
    const size_t limit =
        std::min<size_t>(std::max({8 * rows, points_in_rows.rows / 2, size_t{1} << 16U}), kNone);
    if (!index_by_spans(ids, limit)) {
        rows_ = PairIndex(rows);
    }
    index_rows(ids);
    if (points_in_rows.cols == 2 || points_in_rows.cols == 3) {
        mark_rows_with_points(points_in_rows);
    }
}

void CropRowKeys::index_first_ids(const TableView& points_in_rows) {
    first_ids_ = PairIndex(points_in_rows.rows);
    for (size_t point = 0; point < points_in_rows.rows; ++point) {
        first_ids_.insert(integer_id(points_in_rows.at(point, 0)), 0, 0);
    }
}

void CropRowKeys::index_rows(const std::vector<std::array<uint64_t, 2>>& ids) {
    const size_t rows = ids.size();
    first_of_row_.resize(rows);
    next_row_.assign(rows, kNone);
    std::vector<uint32_t> last_row(rows, kNone);  // of each chain, at its first row
    for (size_t row = 0; row < rows; ++row) {
        const auto index = static_cast<uint32_t>(row);
        const auto [first_id, second_id] = ids[row];
        const uint32_t first = direct() ? claim_entry(first_id, second_id, index)
                                        : rows_.insert(first_id, second_id, index);
        if (first != index) {
            next_row_[last_row[first]] = index;
        }
        last_row[first] = index;
        first_of_row_[row] = first;
    }
}

void CropRowKeys::mark_rows_with_points(const TableView& points_in_rows) {
    row_has_points_.assign(first_of_row_.size(), false);
    for (size_t point = 0; point < points_in_rows.rows; ++point) {
        for (uint32_t row = first_row(integer_id(points_in_rows.at(point, 0)),
                                      integer_id(points_in_rows.at(point, 1)));
             row != kNone && !row_has_points_[row]; row = next_row_[row]) {
            row_has_points_[row] = true;
        }
    }
}

bool CropRowKeys::index_by_spans(const std::vector<std::array<uint64_t, 2>>& ids, size_t limit) {
    uint64_t low_first = UINT64_MAX;
    uint64_t high_first = 0;
    uint64_t high_second = 0;
    for (const auto& pair : ids) {
        low_first = std::min(low_first, pair[0]);
        high_first = std::max(high_first, pair[0]);
        high_second = std::max(high_second, pair[1]);
    }
    // Each first id from the lowest to the highest costs as much as a few entries.
    constexpr size_t kSpanCost = 4;
    // Large ids go to the hash, so that direct_id's lookups hold (see there).
    constexpr auto kCeiling = static_cast<uint64_t>(kDirectIdCeiling);
    if (!ids.empty() && (high_first - low_first >= limit / kSpanCost ||
                         std::max(high_first, high_second) >= kCeiling)) {
        return false;
    }
    lowest_first_ = ids.empty() ? 0 : low_first;
    const size_t first_ids = ids.empty() ? 1 : high_first - low_first + 1;
    spans_.resize(first_ids);
    std::vector<uint64_t> high(first_ids, 0);
    for (const auto& [first, second] : ids) {
        const size_t slot = first - lowest_first_;
        spans_[slot].low = std::min(spans_[slot].low, second);
        high[slot] = std::max(high[slot], second);
    }
    const size_t entries = place_spans(high, limit - kSpanCost * first_ids);
    if (entries == kTooMany) {
        spans_.clear();
        return false;
    }
    // A Buffer, not a vector: on huge pages its first touches fault far less.
    entries_ = make_buffer<uint32_t>(entries);
    std::fill_n(entries_.get(), entries, kNone);
    return true;
}

size_t CropRowKeys::place_spans(const std::vector<uint64_t>& high, size_t room) {
    size_t entries = 0;
    for (size_t slot = 0; slot < spans_.size(); ++slot) {
        SecondIdSpan& span = spans_[slot];
        if (span.low > high[slot]) {
            continue;  // no crop row has this first id
        }
        const uint64_t width = high[slot] - span.low;
        if (width >= room - entries) {
            return kTooMany;
        }
        span.begin = static_cast<uint32_t>(entries);
        span.count = static_cast<uint32_t>(width + 1);
        entries += span.count;
    }
    return entries;
}

}  // namespace cropmerge
