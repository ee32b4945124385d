#include "engine/row_runs_pass.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "engine/block_pairs.h"
#include "engine/kept_points.h"
#include "engine/point_runs.h"
#include "engine/prefetch.h"

namespace cropmerge {

namespace {

// The points of each crop row, in table order: one run per crop row.
struct RowRuns {
    std::vector<size_t> begin;  // where each crop row's run starts in the table
    std::vector<size_t> first;  // where it starts among all runs, crop row by crop row
};

// Runs are looked for by reading the ids of every kStride-th point only: the
// points in between are taken to share them, which the copy checks.
constexpr size_t kStride = 32;
// How far ahead of the probes the table is fetched.
constexpr size_t kScanAhead = 16 * kStride;
// Shorter runs on average mean scattered crop rows: the runs are not looked
// for further.
constexpr size_t kMinMeanRun = 32;
constexpr size_t kRunsBeforeJudging = 64;

// The end of the run from `point` on, judged by every kStride-th point, then
// every quarter of that, then point by point after the last sample that
// shares the ids.
size_t sampled_run_end(const TableView& points, size_t point) {
    const uint64_t first_bits = bits_of(points.at(point, 0));
    const uint64_t second_bits = bits_of(points.at(point, 1));
    size_t same = point;  // the last point known to share the ids
    while (same + kStride < points.rows &&
           same_ids(points, same + kStride, first_bits, second_bits)) {
        same += kStride;
        // The probes walk through the table: the hardware does not follow
        // steps this long.
        if (same + kScanAhead < points.rows) {
            prefetch_for_read(points.row_start(same + kScanAhead));
        }
    }
    constexpr size_t kShortStride = kStride / 4;
    while (same + kShortStride < points.rows &&
           same_ids(points, same + kShortStride, first_bits, second_bits)) {
        same += kShortStride;
    }
    return run_end(points, same, std::min(points.rows, same + kShortStride));
}

// One crop row's run of points.
struct Run {
    uint32_t row;
    size_t begin;
    size_t length;
};

// The runs that start in [begin, end), each running on as far as it goes, or
// nothing when one belongs to no crop row or to a crop row that shares its id
// pair, or runs are short. A run that starts before `begin` is left to the
// part of the table it starts in.
std::optional<std::vector<Run>> runs_starting_in(const TableView& points, const CropRowKeys& keys,
                                                 const RowFilters& plan, size_t begin, size_t end) {
    std::vector<Run> found;
    size_t point = begin;
    if (point > 0 && point < end) {
        point = run_end(points, point - 1, points.rows);
    }
    while (point < end) {
        const size_t stop = sampled_run_end(points, point);
        const uint32_t row = first_row_of(points, keys, point, CropRowKeys::kNone);
        if (row == CropRowKeys::kNone || plan.chained(row)) {
            return std::nullopt;
        }
        found.push_back({row, point, stop - point});
        point = stop;
        if (found.size() >= kRunsBeforeJudging && point - begin < found.size() * kMinMeanRun) {
            return std::nullopt;
        }
    }
    return found;
}

// Each crop row's run, found in `parts` parts of the table side by side, or
// nothing when a part found nothing, a crop row has two runs or the runs do
// not follow one another through the whole table.
std::optional<RowRuns> find_row_runs(const TableView& points, const CropRowKeys& keys,
                                     const RowFilters& plan, const WorkerPool& pool, size_t parts) {
    std::vector<std::optional<std::vector<Run>>> found(parts);
    pool.for_each(parts, [&](size_t part) {
        found[part] = runs_starting_in(points, keys, plan, points.rows * part / parts,
                                       points.rows * (part + 1) / parts);
    });
    const size_t rows = plan.rows.size();
    constexpr size_t kNoRun = SIZE_MAX;
    std::vector<size_t> begin(rows, kNoRun);
    std::vector<size_t> length(rows, 0);
    size_t next = 0;  // where the next run must start
    for (const std::optional<std::vector<Run>>& runs : found) {
        if (!runs) {
            return std::nullopt;
        }
        for (const Run& run : *runs) {
            if (run.begin != next || begin[run.row] != kNoRun) {
                return std::nullopt;
            }
            begin[run.row] = run.begin;
            length[run.row] = run.length;
            next = run.begin + run.length;
        }
    }
    if (next != points.rows) {
        return std::nullopt;
    }
    RowRuns runs{std::move(begin), std::vector<size_t>(rows + 1, 0)};
    for (size_t row = 0; row < rows; ++row) {
        runs.first[row + 1] = runs.first[row] + length[row];
    }
    return runs;
}

// Fetches the points of the runs ahead of the copy, in the order the copy
// visits them and about kLinesAhead lines ahead of it: runs lie anywhere in
// the table, so the hardware cannot know where the next one starts. One line
// is fetched for each line's worth of points the copy visits: fetching a
// whole run at once queues more fetches than the core keeps in flight, and
// the copy stalls behind them.
template <bool kBackward>
class RunsAheadFetch {
public:
    // Over the runs of crop rows [low, high), visited in the copy's direction.
    RunsAheadFetch(const TableView& points, const RowRuns& runs, uint32_t low, uint32_t high)
        : points_(points),
          runs_(runs),
          next_row_(kBackward ? high : low),
          last_row_(kBackward ? low : high),
          points_per_line_(points_per_line(points)) {
        if (!points.rows_are_contiguous()) {
            next_row_ = last_row_;  // points spread over many lines: left to the hardware
        }
        for (size_t line = 0; line < kLinesAhead; ++line) {
            fetch_next_line();
        }
    }

    // The copy visited a point.
    void point_visited() {
        if (--until_next_line_ == 0) {
            until_next_line_ = points_per_line_;
            fetch_next_line();
        }
    }

private:
    static constexpr size_t kLinesAhead = 256;

    static size_t points_per_line(const TableView& points) {
        const size_t row_bytes = std::abs(points.row_stride) * sizeof(double);
        return std::max<size_t>(1, kCacheLine / std::max<size_t>(1, row_bytes));
    }

    // Fetches the line of the next point not yet fetched, skipping the
    // points that share it.
    void fetch_next_line() {
        while (left_in_run_ == 0) {
            if (next_row_ == last_row_) {
                return;
            }
            start_run(kBackward ? --next_row_ : next_row_++);
        }
        prefetch_for_read(points_.row_start(point_));
        const size_t step = std::min(left_in_run_, points_per_line_);
        left_in_run_ -= step;
        point_ = kBackward ? point_ - step : point_ + step;
    }

    void start_run(uint32_t row) {
        left_in_run_ = runs_.first[row + 1] - runs_.first[row];
        point_ = kBackward ? runs_.begin[row] + left_in_run_ - 1 : runs_.begin[row];
    }

    const TableView& points_;
    const RowRuns& runs_;
    uint32_t next_row_;  // the next crop row whose run is fetched
    uint32_t last_row_;  // and where they end
    size_t left_in_run_ = 0;
    size_t point_ = 0;  // the next point to fetch
    size_t points_per_line_;
    size_t until_next_line_ = 1;
};

// Copies the survivors of places [begin, end) among the runs laid end to end
// in crop-row order (see OrderedBlockCopy), checking that every point shares
// its run's ids.
template <bool kBackward>
OrderedBlock copy_runs_block(const TableView& points, const RowFilters& plan, const RowRuns& runs,
                             size_t begin, size_t end, double* out) {
    OrderedBlock block;
    const auto rows = static_cast<uint32_t>(runs.begin.size());
    // The crop rows whose runs overlap [begin, end).
    const auto low = static_cast<uint32_t>(
        std::upper_bound(runs.first.begin(), runs.first.end(), begin) - runs.first.begin() - 1);
    const auto high = static_cast<uint32_t>(
        std::lower_bound(runs.first.begin(), runs.first.end(), end) - runs.first.begin());
    RunsAheadFetch<kBackward> ahead(points, runs, low, std::min(high, rows));
    for (uint32_t step = low; step < std::min(high, rows); ++step) {
        const uint32_t row = kBackward ? high - 1 - (step - low) : step;
        const size_t from = std::max(begin, runs.first[row]);
        const size_t to = std::min(end, runs.first[row + 1]);
        if (from >= to) {
            continue;
        }
        const size_t table_from = runs.begin[row] + (from - runs.first[row]);
        const size_t table_to = table_from + (to - from);
        // The scan read only some of the run's points: all must share the
        // ids of its first, which each block checks for its part as it copies.
        const uint64_t first_bits = bits_of(points.at(runs.begin[row], 0));
        const uint64_t second_bits = bits_of(points.at(runs.begin[row], 1));
        if (!copy_kept_points<kBackward>(points, RowSurvival(points, plan, row), table_from,
                                         table_to, out, block.kept, [&](size_t point) {
                                             ahead.point_visited();
                                             return same_ids(points, point, first_bits,
                                                             second_bits);
                                         })) {
            block.in_order = false;
            break;
        }
        block.first_row = std::min(block.first_row, row);
        block.last_row = block.last_row == CropRowKeys::kNone ? row : std::max(block.last_row, row);
    }
    finish_streaming();
    return block;
}

}  // namespace

bool copy_survivors_by_row_runs(const TableView& points, const CropRowKeys& keys,
                                const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                const PassProgress& progress, FloatTable& output) {
    const std::optional<RowRuns> runs = find_row_runs(points, keys, plan, pool, blocks);
    if (!runs) {
        return false;
    }
    return copy_in_block_pairs(
        even_block_begins(points.rows, blocks), points.cols, pool, progress, output,
        [&](size_t begin, size_t end, double* meet, bool backward) {
            return backward ? copy_runs_block<true>(points, plan, *runs, begin, end, meet)
                            : copy_runs_block<false>(points, plan, *runs, begin, end, meet);
        });
}

}  // namespace cropmerge
