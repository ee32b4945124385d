#include "engine/point_groups.h"

#include <algorithm>
#include <stdexcept>

namespace cropmerge {

namespace {

// Fewer points than this per block are not worth a thread of their own.
constexpr size_t kMinPointsPerBlock = size_t{1} << 16U;

}  // namespace

PointGroups::PointGroups(const TableView& connected_crop_rows, const TableView& points_in_rows,
                         const WorkerPool& pool) {
    if (points_in_rows.cols == 1) {
        first_ids_ = PairIndex(points_in_rows.rows);
        for (size_t p = 0; p < points_in_rows.rows; ++p) {
            first_ids_.insert(integer_id(points_in_rows.at(p, 0)), 0, 0);
        }
    }
    // Without both id columns no crop row gets as far as gathering points.
    if (connected_crop_rows.cols < 3) {
        return;
    }
    if (connected_crop_rows.rows >= kNoGroup) {
        throw std::length_error("too many crop rows");
    }
    PairIndex crop_keys(connected_crop_rows.rows);
    group_of_row_.resize(connected_crop_rows.rows);
    for (size_t row = 0; row < connected_crop_rows.rows; ++row) {
        const auto next = static_cast<uint32_t>(rows_in_group_.size());
        const uint32_t group = crop_keys.insert(integer_id(connected_crop_rows.at(row, 1)),
                                                integer_id(connected_crop_rows.at(row, 2)), next);
        if (group == next) {
            rows_in_group_.push_back(0);
        }
        ++rows_in_group_[group];
        group_of_row_[row] = group;
    }
    offsets_.assign(rows_in_group_.size() + 1, 0);
    if (points_in_rows.cols >= 2) {
        gather(points_in_rows, crop_keys, pool);
    }
}

void PointGroups::gather(const TableView& points_in_rows, const PairIndex& crop_keys,
                         const WorkerPool& pool) {
    const size_t groups = rows_in_group_.size();
    const size_t total = points_in_rows.rows;
    const size_t blocks = std::max<size_t>(1, std::min(pool.size(), total / kMinPointsPerBlock));
    auto block_begin = [&](size_t block) { return total * block / blocks; };

    // Pass 1: the group of every point, and per block the points per group.
    std::vector<uint32_t> group_of_point(total);
    std::vector<size_t> cursor(blocks * groups, 0);
    pool.for_each(blocks, [&](size_t block) {
        size_t* counts = cursor.data() + block * groups;
        uint64_t last_first = 0;
        uint64_t last_second = 0;
        uint32_t last_group = kNoGroup;
        bool have_last = false;
        for (size_t p = block_begin(block); p < block_begin(block + 1); ++p) {
            const uint64_t first = integer_id(points_in_rows.at(p, 0));
            const uint64_t second = integer_id(points_in_rows.at(p, 1));
            // Points usually come grouped by row: skip the lookup for a repeat.
            if (!have_last || first != last_first || second != last_second) {
                last_group = crop_keys.find(first, second);
                last_first = first;
                last_second = second;
                have_last = true;
            }
            group_of_point[p] = last_group;
            if (last_group != kNoGroup) {
                ++counts[last_group];
            }
        }
    });

    // Each block writes its share of a group after the shares of earlier
    // blocks, so every group stays in table order.
    size_t position = 0;
    for (size_t group = 0; group < groups; ++group) {
        offsets_[group] = position;
        for (size_t block = 0; block < blocks; ++block) {
            const size_t count = cursor[block * groups + group];
            cursor[block * groups + group] = position;
            position += count;
        }
    }
    offsets_[groups] = position;

    // Pass 2: scatter the point indices.
    members_ = std::make_unique_for_overwrite<uint64_t[]>(position);
    pool.for_each(blocks, [&](size_t block) {
        size_t* next = cursor.data() + block * groups;
        for (size_t p = block_begin(block); p < block_begin(block + 1); ++p) {
            const uint32_t group = group_of_point[p];
            if (group != kNoGroup) {
                members_[next[group]++] = p;
            }
        }
    });
}

}  // namespace cropmerge
