#pragma once

#include <cstddef>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pass_progress.h"
#include "engine/row_filters.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Points listed in crop-row order (as a pipeline that writes each crop row's
// detections in turn produces them) survive in table order, so one pass can
// filter and copy them into `output`, in `blocks` blocks (see
// copy_in_block_pairs). Returns false, having written nothing of use, when
// the points are not in that order; advances `progress` only when it
// returns true.
bool copy_survivors_in_table_order(const TableView& points, const CropRowKeys& keys,
                                   const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                   const PassProgress& progress, FloatTable& output);

}  // namespace cropmerge
