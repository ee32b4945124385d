#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/float_table.h"
#include "engine/pair_index.h"
#include "engine/past_center_filter.h"
#include "engine/point_groups.h"

namespace cropmerge {

// `row_information` indexed once, by integer id pair for a crop row's own
// entry and by exact float id pair for a connected row's entry. Both lookups
// give the row, and the failure, that a scan from the top would give.
class RowInformationIndex {
public:
    explicit RowInformationIndex(const TableView& row_information);

    size_t own_row(uint64_t first, uint64_t second) const;
    size_t connected_row(double first, double second) const;

private:
    TableView table_;
    PairIndex by_integer_pair_{0};
    PairIndex by_float_pair_{0};
    PairIndex first_ids_{0};  // only for tables too narrow to hold the second id
};

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

// Everything a crop row's merge reads, shared by all workers.
struct MergeInputs {
    TableView connected_crop_rows;
    TableView points_in_rows;
    TableView row_information;
    PointGroups& groups;
    const RowInformationIndex& info_index;
    double tolerance;
};

// Trims crop row `row_index`'s points against each of its connected rows and
// returns the indices (into `points_in_rows`) of the survivors, in table
// order. They are compacted in place in the row's point group when the row
// owns the group alone, else written to `private_survivors`.
std::span<const uint64_t> merge_points_removing_overlap(uint64_t row_index,
                                                        const MergeInputs& inputs,
                                                        std::vector<uint64_t>& private_survivors);

}  // namespace cropmerge
