#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pair_index.h"

namespace cropmerge {

// `row_information` indexed once, by integer id pair for a crop row's own
// entry and by exact float id pair for a connected row's entry. Both lookups
// give the row, and the failure, that a scan from the top would give.
//
// Tables usually list each crop row's information at the crop row's own
// index. Then row_information's rows with an integer id pair are exactly the
// crop rows with that pair, which `keys` (the crop rows' index) chains in
// ascending order, so the lookups go through `keys` and no index of
// row_information is built.
class RowInformationIndex {
public:
    RowInformationIndex(const TableView& row_information, const TableView& connected_crop_rows);

    // `guess` is tried first: a row that is the first with its pair.
    size_t own_row(uint64_t first, uint64_t second, size_t guess, const CropRowKeys& keys) const;
    size_t connected_row(double first, double second, const CropRowKeys& keys) const;
    // Whether finding a connected row's entry reads a hashed index: its
    // entries lie anywhere, and fetching them ahead pays.
    bool lookups_are_hashed(const CropRowKeys& keys) const { return !aligned_ || !keys.direct(); }
    void prefetch_connected_row(double first, double second, const CropRowKeys& keys) const {
        if (aligned_) {
            keys.prefetch(integer_id(first), integer_id(second));
        } else {
            by_float_pair_.prefetch(float_key(first), float_key(second));
        }
    }

    // Key of a float id under exact equality: -0.0 and 0.0 share one key.
    static uint64_t float_key(double value) {
        return value == 0.0 ? 0 : std::bit_cast<uint64_t>(value);
    }

private:
    void index_by_pairs();
    size_t aligned_connected_row(double first, double second, const CropRowKeys& keys) const;

    TableView table_;
    bool aligned_ = false;  // row i holds crop row i's integer id pair, for every i
    PairIndex by_integer_pair_{0};
    PairIndex by_float_pair_{0};
    PairIndex first_ids_{0};  // only for tables too narrow to hold the second id
    std::vector<bool> first_with_integer_pair_;
};

}  // namespace cropmerge
