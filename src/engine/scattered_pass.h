#pragma once

#include <cstddef>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pass_progress.h"
#include "engine/row_filters.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Points in any order: a first pass tags each point with the crop row it
// survives in and counts each row's survivors per block of points, the counts
// give every (block, crop row) its output position, and a second pass copies
// every survivor straight into its final place. Crop rows come out in
// ascending order, each row's points in table order, whatever the number of
// workers. The table is split into `blocks` (at least 1) blocks.
FloatTable copy_scattered_survivors(const TableView& points, const CropRowKeys& keys,
                                    const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                    const PassProgress& progress);

}  // namespace cropmerge
