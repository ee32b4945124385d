#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "engine/crop_row_keys.h"
#include "engine/float_table.h"
#include "engine/pass_progress.h"
#include "engine/worker_pool.h"

namespace cropmerge {

// What copying one block of points in crop-row order found.
struct OrderedBlock {
    bool in_order = true;
    uint32_t first_row = CropRowKeys::kNone;  // the lowest and highest crop row written
    uint32_t last_row = CropRowKeys::kNone;
    size_t kept = 0;
};

// Copies the survivors of points [begin, end) in crop-row order. Forward, it
// writes them upward from `meet`; backward, downward so that they end at
// `meet`. Gives up (in_order false) when it cannot keep that order.
using OrderedBlockCopy =
    std::function<OrderedBlock(size_t begin, size_t end, double* meet, bool backward)>;

// Where each of `blocks` (at least 1) blocks of about equal size starts
// among `points` points, and where the last one ends.
std::vector<size_t> even_block_begins(size_t points, size_t blocks);

// Copies the blocks that start at `block_begins` (the last entry is where the
// last block ends), which go in pairs that meet where the second one starts:
// the first block writes its survivors downward from there, the second
// upward, so a pair's survivors come out together. Pairs are then closed up
// into `output`. Returns false, having written nothing of use, when a block
// gave up or the blocks are not in crop-row order one after another;
// advances `progress` only when it returns true.
bool copy_in_block_pairs(std::span<const size_t> block_begins, size_t cols, const WorkerPool& pool,
                         const PassProgress& progress, FloatTable& output,
                         const OrderedBlockCopy& copy_block);

}  // namespace cropmerge
