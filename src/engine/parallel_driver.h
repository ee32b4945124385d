#pragma once

#include <cstdint>

#include "engine/float_table.h"

namespace cropmerge {

// Merges the points of every crop row of `connected_crop_rows` on
// `num_threads` workers (0: one per available processor) while a progress bar
// counts the rows, and returns the surviving points as a row-major table: the
// rows of each crop row together and in table order, crop rows in ascending
// index. Throws Failure with the failure of the lowest failing crop row.
FloatTable multithreaded_merging(const TableView& connected_crop_rows,
                                 const TableView& points_in_rows, const TableView& row_information,
                                 double tolerance, unsigned long long num_threads);

}  // namespace cropmerge
