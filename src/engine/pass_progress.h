#pragma once

#include <cstddef>

#include "engine/progress_bar.h"

namespace cropmerge {

// The progress bar counts crop rows, but a call's work is planning the rows
// and then passing over the points. The first half of the bar's length stands
// for planning (a share per row planned), the second half for the pass over
// the points that builds the output (a share per block of points), so the bar
// reaches its length only when the output is complete.
class PassProgress {
public:
    PassProgress(ProgressBar& bar, size_t rows) : bar_(bar), rows_(rows) {}

    // Crop rows [begin, end) are planned.
    void rows_planned(size_t begin, size_t end) const { bar_.inc(end / 2 - begin / 2); }

    // Block `block` of the `blocks` that the output's pass over the points
    // is split into is written.
    void block_written(size_t block, size_t blocks) const {
        const size_t points_share = rows_ - rows_ / 2;
        bar_.inc(points_share * (block + 1) / blocks - points_share * block / blocks);
    }

private:
    ProgressBar& bar_;
    size_t rows_;
};

}  // namespace cropmerge
