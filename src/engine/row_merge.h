#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/past_center_filter.h"
#include "engine/row_information_index.h"

namespace cropmerge {

struct FacingEnds {
    Point far_point;
    Point near_end;
    Point connected_near_end;
};

// The own anchor point of the farthest own/connected pair, the own near end
// and the connected near end (both chosen by index, not by value).
FacingEnds find_facing_ends(const std::array<Point, 3>& own, const std::array<Point, 3>& connected);

// Orthogonal projection of `point` onto the line through `line_start` and
// `line_point`; NaN when the two coincide.
Point project_point_onto_line(Point point, Point line_start, Point line_point);

inline constexpr size_t kMaxConnectedRows = 4;

// Everything a crop row's merge reads, shared read-only by all workers.
struct MergeInputs {
    TableView connected_crop_rows;
    TableView points_in_rows;
    TableView row_information;
    const CropRowKeys& keys;
    const RowInformationIndex& info_index;
    double tolerance;
};

// How many connected rows crop row `row` lists: the slots before the first
// NaN first id, as far as the table is wide enough to hold them.
size_t connected_row_count(const TableView& connected_crop_rows, size_t row);

// The per-row half of the merge: finds crop row `row_index`'s own entry and,
// for each connected row in slot order, the facing ends and the center of
// their junction, and writes the resulting past-center filter to `filters`,
// sized by connected_row_count; returns how many. The points are filtered
// afterwards, in one pass over all rows' points. Fails with the failure its
// steps meet first, in the order a full per-row merge would.
size_t plan_row_merge(uint64_t row_index, const MergeInputs& inputs,
                      std::span<PastCenterFilter> filters);

// Starts fetching the index entries that plan_row_merge(row_index) will look
// up, so that rows planned in sequence do not wait for each lookup in turn.
void prefetch_row_merge(uint64_t row_index, const MergeInputs& inputs);

}  // namespace cropmerge
