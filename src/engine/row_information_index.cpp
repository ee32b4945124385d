#include "engine/row_information_index.h"

#include "engine/crop_row_keys.h"
#include "engine/failure.h"

namespace cropmerge {

namespace {

constexpr size_t kInfoSecondId = 4;

// Whether row i of row_information has the integer id pair of crop row i,
// for every crop row and no other row.
bool lists_crop_rows_in_order(const TableView& info, const TableView& crop_rows) {
    if (info.rows != crop_rows.rows || info.cols <= kInfoSecondId || crop_rows.cols < 3) {
        return false;
    }
    for (size_t row = 0; row < info.rows; ++row) {
        if (integer_id(info.at(row, 0)) != integer_id(crop_rows.at(row, 1)) ||
            integer_id(info.at(row, kInfoSecondId)) != integer_id(crop_rows.at(row, 2))) {
            return false;
        }
    }
    return true;
}

}  // namespace

RowInformationIndex::RowInformationIndex(const TableView& row_information,
                                         const TableView& connected_crop_rows)
    : table_(row_information),
      aligned_(lists_crop_rows_in_order(row_information, connected_crop_rows)) {
    if (table_.rows >= PairIndex::kMissing) {
        fail("too many rows in row_information");
    }
    if (!aligned_) {
        index_by_pairs();
    }
}

void RowInformationIndex::index_by_pairs() {
    if (table_.cols > kInfoSecondId) {
        by_integer_pair_ = PairIndex(table_.rows);
        by_float_pair_ = PairIndex(table_.rows);
        first_with_integer_pair_.assign(table_.rows, false);
        for (size_t row = 0; row < table_.rows; ++row) {
            const double first = table_.at(row, 0);
            const double second = table_.at(row, kInfoSecondId);
            const auto value = static_cast<uint32_t>(row);
            first_with_integer_pair_[row] =
                by_integer_pair_.insert(integer_id(first), integer_id(second), value) == value;
            if (first == first && second == second) {
                by_float_pair_.insert(float_key(first), float_key(second), value);
            }
        }
    } else if (table_.cols > 0) {
        first_ids_ = PairIndex(table_.rows);
        for (size_t row = 0; row < table_.rows; ++row) {
            first_ids_.insert(integer_id(table_.at(row, 0)), 0, 0);
        }
    }
}

size_t RowInformationIndex::own_row(uint64_t first, uint64_t second, size_t guess,
                                    const CropRowKeys& keys) const {
    if (aligned_) {
        const uint32_t row = keys.first_row(first, second, guess);
        if (row == CropRowKeys::kNone) {
            fail(kMissingRow);
        }
        return row;
    }
    if (table_.rows == 0) {
        fail(kMissingRow);
    }
    // A scan reads column 0 of the first row, and column 4 of the first row
    // whose first id matches.
    if (table_.cols == 0 ||
        (table_.cols <= kInfoSecondId && first_ids_.find(first, 0) != PairIndex::kMissing)) {
        fail(kIndexOutOfBounds);
    }
    if (table_.cols <= kInfoSecondId) {
        fail(kMissingRow);
    }
    if (guess < table_.rows && first_with_integer_pair_[guess] &&
        integer_id(table_.at(guess, 0)) == first &&
        integer_id(table_.at(guess, kInfoSecondId)) == second) {
        return guess;
    }
    const uint32_t row = by_integer_pair_.find(first, second);
    if (row == PairIndex::kMissing) {
        fail(kMissingRow);
    }
    return row;
}

size_t RowInformationIndex::connected_row(double first, double second,
                                          const CropRowKeys& keys) const {
    if (first != first || second != second) {
        fail(kMissingRow);
    }
    if (aligned_) {
        return aligned_connected_row(first, second, keys);
    }
    const uint32_t row = by_float_pair_.find(float_key(first), float_key(second));
    if (row == PairIndex::kMissing) {
        fail(kMissingRow);
    }
    return row;
}

// The rows with equal float ids are among those with equal integer ids: the
// crop rows chained under that pair, the first match being the first row.
size_t RowInformationIndex::aligned_connected_row(double first, double second,
                                                  const CropRowKeys& keys) const {
    for (uint32_t row = keys.first_row(integer_id(first), integer_id(second));
         row != CropRowKeys::kNone; row = keys.next_row_with_same_ids(row)) {
        if (table_.at(row, 0) == first && table_.at(row, kInfoSecondId) == second) {
            return row;
        }
    }
    fail(kMissingRow);
}

}  // namespace cropmerge
