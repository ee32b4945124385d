#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/float_table.h"
#include "engine/pair_index.h"

namespace cropmerge {

// `row_information` indexed once, by integer id pair for a crop row's own
// entry and by exact float id pair for a connected row's entry. Both lookups
// give the row, and the failure, that a scan from the top would give.
class RowInformationIndex {
public:
    explicit RowInformationIndex(const TableView& row_information);

    // `guess` is tried first: a row that is the first with its pair.
    size_t own_row(uint64_t first, uint64_t second, size_t guess) const;
    size_t connected_row(double first, double second) const;
    void prefetch_connected_row(double first, double second) const {
        by_float_pair_.prefetch(float_key(first), float_key(second));
    }

    // Key of a float id under exact equality: -0.0 and 0.0 share one key.
    static uint64_t float_key(double value) {
        return value == 0.0 ? 0 : std::bit_cast<uint64_t>(value);
    }

private:
    TableView table_;
    PairIndex by_integer_pair_{0};
    PairIndex by_float_pair_{0};
    PairIndex first_ids_{0};  // only for tables too narrow to hold the second id
    std::vector<bool> first_with_integer_pair_;
};

}  // namespace cropmerge
