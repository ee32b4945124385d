#pragma once

#include <cstddef>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pass_progress.h"
#include "engine/row_filters.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// Points listed in segments: stretches of the table whose crop rows all come
// after those of the stretch before, though they alternate within it (as
// when tiles are listed in crop-row order and each tile's points by
// position). Each segment is tagged, then its survivors are written from
// cache in crop-row order, so that the table is read from memory once, in
// `blocks` blocks (see copy_in_block_pairs). Returns false, having written
// nothing of use, when the points are not laid out so; advances `progress`
// only when it returns true.
bool copy_survivors_in_segments(const TableView& points, const CropRowKeys& keys,
                                const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                const PassProgress& progress, FloatTable& output);

}  // namespace cropmerge
