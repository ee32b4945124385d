#include "engine/scattered_pass.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <vector>

#include "engine/buffer.h"
#include "engine/past_center_filter.h"
#include "engine/point_runs.h"
#include "engine/prefetch.h"
#include "engine/row_copy.h"
#include "engine/row_filters.h"

namespace cropmerge {

namespace {

// The crop row a point survives in: a row index, or one of these.
constexpr uint32_t kRemoved = CropRowKeys::kNone;
constexpr uint32_t kSeveralRows = CropRowKeys::kNone - 1;

// Calls visit(row) for every crop row, from `first_row` on along its chain of
// rows with the same id pair, whose merge keeps the point.
template <class Visit>
void visit_surviving_rows(const TableView& points, size_t point, const CropRowKeys& keys,
                          const RowFilters& plan, uint32_t first_row, Visit&& visit) {
    for (uint32_t row = first_row; row != CropRowKeys::kNone;
         row = keys.next_row_with_same_ids(row)) {
        if (plan.keeps(row, points, point)) {
            visit(row);
        }
    }
}

// What the tagging pass shares: the inputs, and one block's tags and counts.
struct Tagging {
    TableView points;
    const CropRowKeys& keys;
    const RowFilters& plan;
    uint32_t* tags;
    size_t* counts;  // survivors of each crop row in the block
    // Where the block's places for each crop row end, once counts hold
    // positions; only where crop rows share id pairs, whose points the copy
    // looks up again.
    const size_t* ends;
};

// Tags points [begin, end), which share one id pair whose crop rows start at
// `first_row`, with the crop row each survives in (kSeveralRows when the pair
// names more than one crop row), and counts the survivors of every crop row.
void tag_run(const Tagging& at, uint32_t first_row, size_t begin, size_t end) {
    if (first_row == CropRowKeys::kNone) {
        std::fill(at.tags + begin, at.tags + end, kRemoved);
        return;
    }
    if (at.plan.chained(first_row)) {
        for (size_t point = begin; point < end; ++point) {
            at.tags[point] = kRemoved;
            visit_surviving_rows(at.points, point, at.keys, at.plan, first_row, [&](uint32_t row) {
                ++at.counts[row];
                at.tags[point] = kSeveralRows;
            });
        }
        return;
    }
    const std::span<const PastCenterFilter> filters = at.plan.of_row(first_row);
    if (filters.empty()) {
        std::fill(at.tags + begin, at.tags + end, first_row);
        at.counts[first_row] += end - begin;
        return;
    }
    const NearBox& box = at.plan.near_boxes[first_row];
    size_t kept = 0;
    for (size_t point = begin; point < end; ++point) {
        const bool keep = keeps_point(filters, box, at.points, point);
        at.tags[point] = keep ? first_row : kRemoved;
        kept += keep ? 1 : 0;
    }
    at.counts[first_row] += kept;
}

// Runs at least this long are tagged as one; shorter ones mean scattered
// points, whose lookups are fetched ahead in batches of this size instead of
// waited for one by one.
constexpr size_t kBatch = 32;

// Starts fetching the lines of points [begin, end) of a row-major table.
void prefetch_rows(const TableView& points, size_t begin, size_t end) {
    if (begin >= end || !points.rows_are_contiguous()) {
        return;
    }
    const char* from = reinterpret_cast<const char*>(points.row_start(begin));
    const char* to = reinterpret_cast<const char*>(points.row_start(end - 1) + points.cols);
    for (; from < to; from += kCacheLine) {
        prefetch_for_read(from);
    }
}

// The first crop rows of the id pairs met last, by a cheap hash of the pair:
// points in tile order cycle through a tile's few crop rows, and each lookup
// in the keyed index would pay its hashing again. A pair that collides here
// only goes to the index, so ids chosen to collide cost no more than there.
// Shuffled points seldom meet a pair again soon: after a batch with few
// hits, the next few batches go straight to the index.
class RecentRows {
public:
    bool in_use() const { return rest_ == 0; }
    uint32_t find(uint64_t first, uint64_t second) const {
        const Entry& entry = entries_[slot(first, second)];
        return entry.first == first && entry.second == second ? entry.row : CropRowKeys::kNone;
    }
    void remember(uint64_t first, uint64_t second, uint32_t row) {
        entries_[slot(first, second)] = {first, second, row};
    }
    // After each batch: `hits` of its `size` pairs were found here.
    void judge(size_t hits, size_t size) {
        constexpr size_t kRest = 8;
        if (rest_ > 0) {
            --rest_;
        } else if (refilling_) {
            refilling_ = false;  // its pairs are those of batches long past
        } else if (hits * 4 < size) {
            rest_ = kRest;
            refilling_ = true;
        }
    }

private:
    struct Entry {
        uint64_t first = 0;
        uint64_t second = 0;
        uint32_t row = CropRowKeys::kNone;  // none: the entry holds no pair
    };
    static constexpr unsigned kSlotBits = 8;

    static size_t slot(uint64_t first, uint64_t second) {
        constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(((first * kOdd) ^ second) * kOdd >> (64U - kSlotBits));
    }

    std::array<Entry, size_t{1} << kSlotBits> entries_{};
    size_t rest_ = 0;  // batches left before the next one looks here
    bool refilling_ = false;
};

// Looks up the first crop row of points [point, point + size) in the keys'
// direct table.
void look_up_in_table(const Tagging& at, size_t point, size_t size, uint32_t* first_rows) {
    first_rows_in_table(
        at.points, at.keys, [point](size_t i) { return point + i; }, size, first_rows);
}

// Looks up the first crop row of points [point, point + size) (size at most
// kBatch) in the keys' hash, every lookup started before any is waited for.
void look_up_hashed(const Tagging& at, RecentRows& recent, size_t point, size_t size,
                    uint32_t* first_rows) {
    uint64_t firsts[kBatch];
    uint64_t seconds[kBatch];
    const bool use_recent = recent.in_use();
    size_t hits = 0;
    for (size_t i = 0; i < size; ++i) {
        firsts[i] = integer_id(at.points.at(point + i, 0));
        seconds[i] = integer_id(at.points.at(point + i, 1));
        first_rows[i] = use_recent ? recent.find(firsts[i], seconds[i]) : CropRowKeys::kNone;
        if (first_rows[i] == CropRowKeys::kNone) {
            at.keys.prefetch(firsts[i], seconds[i]);
        } else {
            ++hits;
        }
    }
    recent.judge(hits, size);
    for (size_t i = 0; i < size; ++i) {
        if (first_rows[i] == CropRowKeys::kNone) {
            first_rows[i] = at.keys.first_row(firsts[i], seconds[i]);
            if (use_recent && first_rows[i] != CropRowKeys::kNone) {
                recent.remember(firsts[i], seconds[i], first_rows[i]);
            }
        }
    }
}

// Looks up the first crop row of scattered points [point, point + size)
// (size at most kBatch) into `first_rows`, and starts fetching what tagging
// them reads next.
void look_up_batch(const Tagging& at, RecentRows& recent, size_t point, size_t size,
                   uint32_t* first_rows) {
    if (at.keys.direct()) {
        look_up_in_table(at, point, size, first_rows);
    } else {
        look_up_hashed(at, recent, point, size, first_rows);
    }
    for (size_t i = 0; i < size; ++i) {
        if (first_rows[i] != CropRowKeys::kNone) {
            at.plan.prefetch(first_rows[i]);
            prefetch_for_write(&at.counts[first_rows[i]]);
        }
    }
    for (size_t i = 0; i < size; ++i) {
        if (first_rows[i] != CropRowKeys::kNone) {
            at.plan.prefetch_filters(first_rows[i]);
        }
    }
}

// Whether a batch's crop rows (kNone for none) lie so close together in the
// table that the next batch's, if like them, are in cache: points in tile
// order cycle through a tile's few crop rows, shuffled points through all.
bool rows_are_nearby(const uint32_t* first_rows, size_t size) {
    constexpr uint32_t kNearbyRows = 256;
    uint32_t low = CropRowKeys::kNone;
    uint32_t high = 0;
    for (size_t i = 0; i < size; ++i) {
        if (first_rows[i] != CropRowKeys::kNone) {
            low = std::min(low, first_rows[i]);
            high = std::max(high, first_rows[i]);
        }
    }
    return low > high || high - low < kNearbyRows;
}

// Tags points [point, point + size), whose first crop rows have been looked
// up; tag_run for each, without the call for one of a crop row with an id
// pair of its own. Points whose crop rows are `nearby` try the near box
// first: for scattered ones it is one more line to fetch.
template <bool kNearby>
void tag_looked_up(const Tagging& at, size_t point, size_t size, const uint32_t* first_rows) {
    for (size_t i = 0; i < size; ++i) {
        const uint32_t row = first_rows[i];
        const size_t here = point + i;
        if (row != CropRowKeys::kNone && !at.plan.chained(row)) {
            const bool keep = kNearby ? at.plan.keeps_nearby(row, at.points, here)
                                      : at.plan.keeps(row, at.points, here);
            at.tags[here] = keep ? row : kRemoved;
            at.counts[row] += keep ? 1 : 0;
        } else {
            tag_run(at, row, here, here + 1);
        }
    }
}

// Tags scattered points [point, point + size), size at most kBatch, without
// fetching anything ahead when their crop rows are `nearby` (in the direct
// table and in cache); returns whether their crop rows lie close together.
bool tag_batch(const Tagging& at, RecentRows& recent, size_t point, size_t size, size_t end,
               bool nearby) {
    uint32_t first_rows[kBatch];
    if (nearby) {
        look_up_in_table(at, point, size, first_rows);
        tag_looked_up<true>(at, point, size, first_rows);
    } else {
        // Scattered lookups keep the hardware from fetching the next batch's
        // points ahead on its own.
        prefetch_rows(at.points, std::min(end, point + size), std::min(end, point + 2 * size));
        look_up_batch(at, recent, point, size, first_rows);
        tag_looked_up<false>(at, point, size, first_rows);
    }
    return rows_are_nearby(first_rows, size);
}

// With at most this many crop rows, their plan and lookup entries stay in a
// core's own cache all along: points are then looked up one by one, as for
// nearby crop rows, however scattered they are.
constexpr size_t kCachedRows = 4096;

// Tags the points in [begin, end) (see tag_run); returns whether most of
// them are scattered among crop rows far apart.
bool tag_points(const Tagging& block, size_t begin, size_t end) {
    // A const copy: the size_t counts the loop stores could otherwise alias
    // the table's sizes and strides, which would be read again after every
    // store; a const object cannot change, so they stay in registers.
    const Tagging at = block;
    uint32_t previous_row = CropRowKeys::kNone;
    RecentRows recent;
    const bool rows_in_cache = at.keys.direct() && at.plan.rows.size() <= kCachedRows;
    bool nearby = rows_in_cache;
    size_t far_apart = 0;  // points in batches whose crop rows lie far apart
    size_t point = begin;
    while (point < end) {
        const size_t stop = run_end(at.points, point, end);
        if (stop - point >= kBatch || stop == end) {
            const uint32_t row = first_row_of(at.points, at.keys, point, previous_row);
            tag_run(at, row, point, stop);
            previous_row = row;
            point = stop;
            continue;
        }
        const size_t size = std::min(kBatch, end - point);
        const bool batch_nearby = tag_batch(at, recent, point, size, end, nearby);
        // Only direct lookups are cheap when their entries are in cache;
        // hashed ones have the recent rows for that.
        nearby = (at.keys.direct() && batch_nearby) || rows_in_cache;
        far_apart += batch_nearby ? 0 : size;
        previous_row = CropRowKeys::kNone;
        point += size;
    }
    return far_apart * 2 > end - begin;
}

// Turns the survivor counts of every (block, crop row), stored block-major,
// into output positions, crop row-major; returns the survivors in total.
size_t counts_to_positions(std::vector<size_t>& position, size_t blocks, size_t rows) {
    size_t next = 0;
    for (size_t row = 0; row < rows; ++row) {
        for (size_t block = 0; block < blocks; ++block) {
            const size_t count = position[block * rows + row];
            position[block * rows + row] = next;
            next += count;
        }
    }
    return next;
}

// How many points ahead the copy starts fetching a survivor's destination.
constexpr size_t kWriteAhead = 16;

// Copies the tagged survivors of points [begin, end) to their places in
// `out`; `positions` holds the block's next place for each crop row. Where
// survivors land far apart (kFarApart), the place of one a little ahead is
// fetched before it is written; where they land close together, as a few
// crop rows' do, their places are in cache and fetching them only costs.
template <bool kFarApart>
void copy_tagged(const Tagging& at, size_t begin, size_t end, double* out) {
    const TableView points = at.points;  // a const copy, as in tag_points
    const size_t cols = points.cols;
    size_t* positions = at.counts;
    for (size_t point = begin; point < end;) {
        if (kFarApart && point + kWriteAhead < end && at.tags[point + kWriteAhead] < kSeveralRows) {
            prefetch_for_write(out + positions[at.tags[point + kWriteAhead]] * cols);
        }
        const uint32_t tag = at.tags[point];
        if (tag == kSeveralRows) {
            // The table is read where it lies, and another thread may be
            // writing to it (NumPy's functions let go of the GIL): a point
            // looked up again may survive where it was not counted.
            const uint32_t first_row = first_row_of(points, at.keys, point, CropRowKeys::kNone);
            visit_surviving_rows(points, point, at.keys, at.plan, first_row, [&](uint32_t row) {
                if (positions[row] < at.ends[row]) {
                    copy_rows(points, point, 1, out + positions[row]++ * cols);
                }
            });
            ++point;
        } else if (tag == kRemoved) {
            ++point;
        } else {
            // Neighbouring survivors of one crop row stay neighbours.
            size_t run = 1;
            while (point + run < end && at.tags[point + run] == tag) {
                ++run;
            }
            copy_rows(points, point, run, out + positions[tag] * cols);
            positions[tag] += run;
            point += run;
        }
    }
    finish_streaming();
}

// Fills a block's places that a changed table left unwritten (see
// copy_tagged): from each crop row's next place to its end. No memory of the
// process's past then shows in the output.
void fill_places_left(std::span<const size_t> next, std::span<const size_t> ends, size_t cols,
                      double* out) {
    for (size_t row = 0; row < next.size(); ++row) {
        std::fill(out + next[row] * cols, out + ends[row] * cols,
                  std::numeric_limits<double>::quiet_NaN());
    }
}

bool shares_id_pairs(const RowFilters& plan) {
    return std::any_of(plan.rows.begin(), plan.rows.end(),
                       [](const RowEntry& row) { return row.chained != 0; });
}

}  // namespace

FloatTable copy_scattered_survivors(const TableView& points, const CropRowKeys& keys,
                                    const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                    const PassProgress& progress) {
    const size_t rows = plan.rows.size();
    // Without both id columns no point belongs to any crop row.
    const size_t total = points.cols >= 2 ? points.rows : 0;
    auto block_begin = [&](size_t block) { return total * block / blocks; };
    const Buffer<uint32_t> tags = make_buffer<uint32_t>(total);
    std::vector<size_t> position(blocks * rows, 0);
    std::vector<size_t> ends;  // see Tagging
    auto tagging = [&](size_t block) {
        return Tagging{points,
                       keys,
                       plan,
                       tags.get(),
                       position.data() + block * rows,
                       ends.empty() ? nullptr : ends.data() + block * rows};
    };

    std::vector<char> far_apart(blocks, 0);
    pool.for_each(blocks, [&](size_t block) {
        far_apart[block] = tag_points(tagging(block), block_begin(block), block_begin(block + 1));
    });
    if (shares_id_pairs(plan)) {
        ends = position;  // the counts, until the positions are added
    }
    FloatTable output =
        FloatTable::row_major(counts_to_positions(position, blocks, rows), points.cols);
    for (size_t place = 0; place < ends.size(); ++place) {
        ends[place] += position[place];
    }
    pool.for_each(blocks, [&](size_t block) {
        const size_t begin = block_begin(block);
        const size_t end = block_begin(block + 1);
        if (far_apart[block] != 0) {
            copy_tagged<true>(tagging(block), begin, end, output.data());
        } else {
            copy_tagged<false>(tagging(block), begin, end, output.data());
        }
        if (!ends.empty()) {
            fill_places_left({position.data() + block * rows, rows},
                             {ends.data() + block * rows, rows}, points.cols, output.data());
        }
        progress.block_written(block, blocks);
    });
    return output;
}

}  // namespace cropmerge
