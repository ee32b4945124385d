#pragma once

#include <cstddef>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pass_progress.h"
#include "engine/row_filters.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Points listed crop row by crop row, but the crop rows in another order than
// their own (as when tiles are written one after another): each crop row's
// points form one run, so visiting the runs in crop-row order copies the
// survivors in one pass, as when the points come in crop-row order, in
// `blocks` blocks (see copy_in_block_pairs). Returns false, having written
// nothing of use, when the points are not laid out so; advances `progress`
// only when it returns true.
bool copy_survivors_by_row_runs(const TableView& points, const CropRowKeys& keys,
                                const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                const PassProgress& progress, FloatTable& output);

}  // namespace cropmerge
