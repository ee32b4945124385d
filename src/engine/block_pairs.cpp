#include "engine/block_pairs.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace cropmerge {

namespace {

// Whether the blocks, each in order by itself, are in order one after another.
bool blocks_in_order(const std::vector<OrderedBlock>& found) {
    uint32_t last_row = CropRowKeys::kNone;
    for (const OrderedBlock& block : found) {
        if (!block.in_order || (block.first_row != CropRowKeys::kNone &&
                                last_row != CropRowKeys::kNone && block.first_row < last_row)) {
            return false;
        }
        if (block.last_row != CropRowKeys::kNone) {
            last_row = block.last_row;
        }
    }
    return true;
}

// Where the blocks of a pass split into `blocks` blocks start, and where
// each block's pair meets: blocks 2k and 2k + 1 meet at the start of 2k + 1;
// a last block without a partner writes upward from its start.
struct BlockPairs {
    std::span<const size_t> begins;
    size_t blocks;

    size_t begin(size_t block) const { return begins[block]; }
    size_t meeting(size_t block) const { return begin(std::min(block | 1U, blocks - 1)); }
};

// Moves the pairs' survivors together and drops the rest of `output`.
void close_up_pairs(const BlockPairs& pairs, const std::vector<OrderedBlock>& found,
                    FloatTable& output) {
    const size_t blocks = pairs.blocks;
    const size_t cols = output.cols();
    // Where a pair's survivors start, and how many there are.
    auto pair_first = [&](size_t block) {
        return pairs.meeting(block) - (block + 1 < blocks ? found[block].kept : 0);
    };
    auto pair_kept = [&](size_t block) {
        return found[block].kept + (block + 1 < blocks ? found[block + 1].kept : 0);
    };
    const size_t first = pair_first(0);
    size_t kept = 0;
    for (size_t block = 0; block < blocks; block += 2) {
        if (pair_first(block) != first + kept) {
            std::memmove(output.data() + (first + kept) * cols,
                         output.data() + pair_first(block) * cols,
                         pair_kept(block) * cols * sizeof(double));
        }
        kept += pair_kept(block);
    }
    output.keep_rows(first, kept);
}

}  // namespace

std::vector<size_t> even_block_begins(size_t points, size_t blocks) {
    std::vector<size_t> begins(blocks + 1);
    for (size_t block = 0; block <= blocks; ++block) {
        begins[block] = points * block / blocks;
    }
    return begins;
}

bool copy_in_block_pairs(std::span<const size_t> block_begins, size_t cols, const WorkerPool& pool,
                         const PassProgress& progress, FloatTable& output,
                         const OrderedBlockCopy& copy_block) {
    const size_t blocks = block_begins.size() - 1;
    const BlockPairs pairs{block_begins, blocks};
    output = FloatTable::row_major(block_begins.back(), cols);
    std::vector<OrderedBlock> found(blocks);
    pool.for_each(blocks, [&](size_t block) {
        const bool backward = block % 2 == 0 && block + 1 < blocks;
        found[block] = copy_block(pairs.begin(block), pairs.begin(block + 1),
                                  output.data() + pairs.meeting(block) * cols, backward);
    });
    if (!blocks_in_order(found)) {
        return false;
    }
    close_up_pairs(pairs, found, output);
    // Only now is it known that the blocks written are the output.
    for (size_t block = 0; block < blocks; ++block) {
        progress.block_written(block, blocks);
    }
    return true;
}

}  // namespace cropmerge
