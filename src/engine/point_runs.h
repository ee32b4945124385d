#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"

namespace cropmerge {

// Runs of points (neighbours in a table whose id columns are equal, bit for
// bit) and the crop row they belong to.

inline uint64_t bits_of(double value) { return std::bit_cast<uint64_t>(value); }

// Whether the point's id columns hold these bits.
inline bool same_ids(const TableView& points, size_t point, uint64_t first_bits,
                     uint64_t second_bits) {
    return bits_of(points.at(point, 0)) == first_bits &&
           bits_of(points.at(point, 1)) == second_bits;
}

// The end of the run of points from `point` on whose id columns are equal,
// bit for bit; at most `end`.
inline size_t run_end(const TableView& points, size_t point, size_t end) {
    const uint64_t first_bits = bits_of(points.at(point, 0));
    const uint64_t second_bits = bits_of(points.at(point, 1));
    size_t stop = point + 1;
    while (stop < end && same_ids(points, stop, first_bits, second_bits)) {
        ++stop;
    }
    return stop;
}

// The start of the run of points up to `stop` whose id columns are equal,
// bit for bit; at least `begin`.
inline size_t run_start(const TableView& points, size_t begin, size_t stop) {
    const uint64_t first_bits = bits_of(points.at(stop - 1, 0));
    const uint64_t second_bits = bits_of(points.at(stop - 1, 1));
    size_t start = stop - 1;
    while (start > begin && same_ids(points, start - 1, first_bits, second_bits)) {
        --start;
    }
    return start;
}

// The first crop row with the point's id pair. Points often come grouped by
// crop row, and the groups in the crop rows' own order: the crop row next to
// the neighbouring group's (`step` away from `neighbour_row`) is tried before
// the index.
inline uint32_t first_row_of(const TableView& points, const CropRowKeys& keys, size_t point,
                             uint32_t neighbour_row, int step = 1) {
    const uint64_t first = integer_id(points.at(point, 0));
    const uint64_t second = integer_id(points.at(point, 1));
    return neighbour_row != CropRowKeys::kNone
               ? keys.first_row(first, second, neighbour_row + static_cast<size_t>(step))
               : keys.first_row(first, second);
}

// The first crop row of each of `count` points, point_at(0) and on, in the
// keys' direct table: each lookup is a few steps that wait on no other, so
// the processor overlaps them without being told to.
template <class PointAt>
void first_rows_in_table(const TableView& points, const CropRowKeys& keys, const PointAt& point_at,
                         size_t count, uint32_t* rows) {
    for (size_t i = 0; i < count; ++i) {
        const size_t point = point_at(i);
        rows[i] = keys.first_row_in_table(points.at(point, 0), points.at(point, 1));
    }
}

}  // namespace cropmerge
