#pragma once

#include <cstddef>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/row_filters.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Points listed in crop-row order (as a pipeline that writes each crop row's
// detections in turn produces them) survive in table order, so one pass can
// filter and copy them into `output`. The table is split into `blocks` (at
// least 1) blocks, which go in pairs that meet where the second one starts:
// the first block writes its survivors downward from there, the second
// upward, so a pair's survivors come out together. Pairs are then closed up.
// Returns false, having written nothing of use, when the points are not in
// that order.
bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                   FloatTable& output);

}  // namespace cropmerge
