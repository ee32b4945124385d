#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/float_table.h"
#include "engine/pair_index.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Integer id of a float id: truncated toward zero and saturated to the
// unsigned 64-bit range; NaN and negative values give 0.
inline uint64_t integer_id(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(value);
}

// The points of every crop row, gathered in one pass instead of one scan of
// `points_in_rows` per crop row: crop rows are grouped by their integer id
// pair, and each group holds the row indices of the points whose integer id
// pair is the same, in table order (a counting sort over the groups).
class PointGroups {
public:
    static constexpr uint32_t kNoGroup = PairIndex::kMissing;

    PointGroups(const TableView& connected_crop_rows, const TableView& points_in_rows,
                const WorkerPool& pool);

    // The group of crop row `row`; kNoGroup when the crop rows have no id columns.
    uint32_t group_of_row(size_t row) const {
        return group_of_row_.empty() ? kNoGroup : group_of_row_[row];
    }
    // Whether more than one crop row has this group's id pair.
    bool shared(uint32_t group) const { return rows_in_group_[group] > 1; }
    // The group's point indices; a crop row that owns its group alone may
    // rewrite them in place.
    std::span<uint64_t> points(uint32_t group) {
        return {members_.get() + offsets_[group], members_.get() + offsets_[group + 1]};
    }
    // With a one-column `points_in_rows`: whether some point has this first id.
    bool has_first_id(uint64_t first) const {
        return first_ids_.find(first, 0) != PairIndex::kMissing;
    }

private:
    void gather(const TableView& points_in_rows, const PairIndex& crop_keys,
                const WorkerPool& pool);

    std::vector<uint32_t> group_of_row_;
    std::vector<uint32_t> rows_in_group_;
    std::vector<size_t> offsets_;
    std::unique_ptr<uint64_t[]> members_;
    PairIndex first_ids_{0};
};

}  // namespace cropmerge
