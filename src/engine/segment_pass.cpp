#include "engine/segment_pass.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/block_pairs.h"
#include "engine/point_runs.h"
#include "engine/row_copy.h"

namespace cropmerge {

namespace {

constexpr uint32_t kRemoved = CropRowKeys::kNone;

// The points tagged and not yet written are kept in a ring of this many.
constexpr size_t kWindow = size_t{1} << 13U;
// Once this many points wait, the oldest segment is written, if a later one
// has started: its points are still in cache.
constexpr size_t kWaiting = kWindow / 2;
// A segment whose crop rows span more than this many is taken for points
// scattered over the whole table.
constexpr size_t kMaxSegmentRows = 1024;

// A stretch of points in the order of the walk, from `first` to where the
// next segment starts, whose crop rows' keys lie in [low, high]. Keys are
// crop rows, reversed when the walk goes backward, so that they ascend from
// segment to segment either way.
struct Segment {
    size_t first;
    uint32_t low;
    uint32_t high;
};

// The first crop rows of `count` points, those at point_at(0) and on; each
// lookup waits on no other.
template <class PointAt>
void look_up_rows(const TableView& points, const CropRowKeys& keys, const PointAt& point_at,
                  size_t count, uint32_t* rows) {
    if (keys.direct()) {
        first_rows_in_table(points, keys, point_at, count, rows);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        rows[i] = first_row_of(points, keys, point_at(i), CropRowKeys::kNone);
    }
}

// Walks a block's points forward or backward, tags each with the crop row it
// survives in, and writes each segment once a later one has started.
template <bool kBackward>
class SegmentWalk {
public:
    SegmentWalk(const TableView& points, const RowFilters& plan, double* out)
        : points_(points),
          plan_(plan),
          out_(out),
          tags_(kWindow),
          counts_(plan.rows.size(), 0),
          offsets_(kMaxSegmentRows + 1),
          order_(kWindow) {}

    // Makes room for the `count` points from `point` on in the walk, writing
    // the oldest segments that a later one follows; false when one segment
    // alone fills the room.
    bool make_room(size_t point, size_t count) {
        while (segments_.size() - oldest_ >= 2 && distance(point) + count > kWaiting) {
            if (!write_oldest(segments_[oldest_ + 1].first)) {
                return false;
            }
        }
        return oldest_ == segments_.size() || distance(point) + count <= kWindow;
    }

    // Whether every crop row of a batch (kNone for none) lies among those of
    // the segment met last, as most batches' do: their points then need no
    // filing.
    bool in_last_segment(const uint32_t* rows, size_t count) const {
        if (oldest_ == segments_.size()) {
            return false;
        }
        const Segment& last = segments_.back();
        bool inside = true;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t key_of_row = key(rows[i]);
            inside &= rows[i] == CropRowKeys::kNone ||
                      (key_of_row >= last.low && key_of_row <= last.high);
        }
        return inside;
    }

    // Files `point`, met after every point visited before and with room made
    // for it, under the segments (see place); false when the points are not
    // in segments.
    bool file(size_t point, uint32_t row) {
        return row == CropRowKeys::kNone || place(key(row), point);
    }

    // Tags `point` with the crop row it survives in, and counts it; false for
    // a crop row that shares its id pair, which this pass does not handle.
    bool tag(size_t point, uint32_t row) {
        uint32_t tag = kRemoved;
        if (row != CropRowKeys::kNone) {
            if (plan_.chained(row)) {
                return false;
            }
            if (plan_.keeps_nearby(row, points_, point)) {
                tag = row;
                ++counts_[row];
            }
        }
        tags_[point % kWindow] = tag;
        return true;
    }

    // Writes the segments still waiting; `after_last` is where the walk ended.
    bool finish(size_t after_last) {
        while (oldest_ < segments_.size()) {
            const bool last = oldest_ + 1 == segments_.size();
            if (!write_oldest(last ? after_last : segments_[oldest_ + 1].first)) {
                return false;
            }
        }
        return true;
    }

    const OrderedBlock& block() const { return block_; }

private:
    static uint32_t key(uint32_t row) { return kBackward ? kRemoved - 1 - row : row; }

    // How many points the walk has visited since the oldest waiting segment
    // started.
    size_t distance(size_t point) const {
        const size_t first = segments_[oldest_].first;
        return kBackward ? first - point : point - first;
    }

    // Files a point with the given key under the segments: a key past the
    // last segment's starts a new one; a key before it joins it, and every
    // segment back to the one whose keys reach it.
    bool place(uint32_t key, size_t point) {
        const bool waiting = oldest_ < segments_.size();
        if (waiting && key >= segments_.back().low && key <= segments_.back().high) {
            return true;  // a crop row of the segment met last
        }
        if (!waiting || key > segments_.back().high) {
            if (key < lowest_key_) {
                return false;
            }
            segments_.push_back({point, key, key});
            return true;
        }
        while (key < segments_.back().low) {
            if (segments_.size() - oldest_ >= 2 && key <= segments_[segments_.size() - 2].high) {
                const uint32_t high = segments_.back().high;
                segments_.pop_back();
                segments_.back().high = high;
            } else if (key < lowest_key_) {
                return false;
            } else {
                segments_.back().low = key;
            }
        }
        return true;
    }

    // Writes the survivors of the oldest waiting segment, which ends where
    // `after` starts in the walk, crop row by crop row in table order.
    bool write_oldest(size_t after) {
        const Segment segment = segments_[oldest_++];
        const uint32_t low_row = kBackward ? kRemoved - 1 - segment.high : segment.low;
        const uint32_t high_row = kBackward ? kRemoved - 1 - segment.low : segment.high;
        if (high_row - low_row >= kMaxSegmentRows) {
            return false;
        }
        const size_t begin = kBackward ? after + 1 : segment.first;
        const size_t end = kBackward ? segment.first + 1 : after;
        const uint32_t total = order_survivors(begin, end, low_row, high_row);
        write_in_order(begin, total);
        if (oldest_ >= kWindow) {  // written segments: their room is of no more use
            segments_.erase(segments_.begin(), segments_.begin() + static_cast<ptrdiff_t>(oldest_));
            oldest_ = 0;
        }
        block_.kept += total;
        lowest_key_ = static_cast<uint64_t>(segment.high) + 1;
        if (total > 0) {
            block_.first_row = std::min(block_.first_row, low_row);
            block_.last_row = block_.last_row == CropRowKeys::kNone
                                  ? high_row
                                  : std::max(block_.last_row, high_row);
        }
        return true;
    }

    // Lists the survivors of points [begin, end), of crop rows [low_row,
    // high_row], in order_, crop row by crop row and each in table order, as
    // offsets from `begin`; returns how many there are.
    uint32_t order_survivors(size_t begin, size_t end, uint32_t low_row, uint32_t high_row) {
        uint32_t total = 0;  // a segment holds fewer than kWindow points
        for (uint32_t row = low_row; row <= high_row; ++row) {
            offsets_[row - low_row] = total;
            total += counts_[row];
            counts_[row] = 0;
        }
        for (size_t point = begin; point < end; ++point) {
            const uint32_t tag = tags_[point % kWindow];
            if (tag != kRemoved) {
                order_[offsets_[tag - low_row]++] = static_cast<uint32_t>(point - begin);
            }
        }
        return total;
    }

    // Writes the first `count` points listed in order_, offsets from point
    // `begin`, after those already written.
    void write_in_order(size_t begin, size_t count) {
        const TableView points = points_;  // a copy: the stores cannot change it
        const size_t cols = points.cols;
        double* to = kBackward ? out_ - (block_.kept + count) * cols : out_ + block_.kept * cols;
        if (!points.rows_are_contiguous()) {
            for (size_t survivor = 0; survivor < count; ++survivor) {
                copy_rows(points, begin + order_[survivor], 1, to + survivor * cols);
            }
            return;
        }
        for (size_t survivor = 0; survivor < count; ++survivor) {
            stream_values(points.row_start(begin + order_[survivor]), cols, to + survivor * cols);
        }
    }

    const TableView& points_;
    const RowFilters& plan_;
    double* out_;
    std::vector<uint32_t> tags_;    // per point, by its index modulo kWindow
    std::vector<uint32_t> counts_;  // per crop row, its survivors in waiting segments
    std::vector<uint32_t> offsets_;
    std::vector<uint32_t> order_;  // a segment's survivors in crop-row order
    std::vector<Segment> segments_;
    size_t oldest_ = 0;        // the oldest segment not yet written
    uint64_t lowest_key_ = 0;  // every key written is below this
    OrderedBlock block_;
};

// Visits points [begin, end) in the walk's direction; false when they are
// not in segments.
template <bool kBackward>
bool walk_points(SegmentWalk<kBackward>& walk, const TableView& points, const CropRowKeys& keys,
                 size_t begin, size_t end) {
    // Lookups a batch at a time: none waits on another.
    constexpr size_t kBatch = 32;
    uint32_t rows[kBatch];
    const size_t count = end - begin;
    auto point_at = [&](size_t step) { return kBackward ? end - 1 - step : begin + step; };
    for (size_t done = 0; done < count; done += kBatch) {
        const size_t size = std::min(kBatch, count - done);
        look_up_rows(points, keys, [&](size_t i) { return point_at(done + i); }, size, rows);
        if (!walk.make_room(point_at(done), size)) {
            return false;
        }
        const bool filed = walk.in_last_segment(rows, size);
        for (size_t i = 0; i < size; ++i) {
            const size_t point = point_at(done + i);
            if (!(filed || walk.file(point, rows[i])) || !walk.tag(point, rows[i])) {
                return false;
            }
        }
    }
    return walk.finish(kBackward ? begin - 1 : end);
}

template <bool kBackward>
OrderedBlock copy_block_in_segments(const TableView& points, const CropRowKeys& keys,
                                    const RowFilters& plan, size_t begin, size_t end, double* out) {
    SegmentWalk<kBackward> walk(points, plan, out);
    const bool in_segments = walk_points(walk, points, keys, begin, end);
    finish_streaming();
    return in_segments ? walk.block() : OrderedBlock{.in_order = false};
}

// How far past an even split a block boundary is looked for, and how many
// points on either side show that it lies between segments.
constexpr size_t kBoundarySearch = kWindow;
constexpr size_t kBoundarySides = kWindow / 2;

// The first point from `even` on, and before `ceiling`, whose crop rows and
// those of the points after it all come after the crop rows of the points
// before it, judged by the points nearby; `even` itself where there is none.
size_t boundary_between_segments(const TableView& points, const CropRowKeys& keys, size_t floor,
                                 size_t even, size_t ceiling) {
    const size_t from = std::max(floor, even - std::min(even, kBoundarySides));
    const size_t search_end = std::min(ceiling, even + kBoundarySearch);
    const size_t to = std::min(ceiling, search_end + kBoundarySides);
    std::vector<uint32_t> rows(to - from);
    look_up_rows(points, keys, [&](size_t i) { return from + i; }, rows.size(), rows.data());
    // The lowest crop row from each point on (kNone, for none, is above all).
    std::vector<uint32_t> lowest_after(rows.size() + 1, CropRowKeys::kNone);
    for (size_t i = rows.size(); i-- > 0;) {
        lowest_after[i] = std::min(lowest_after[i + 1], rows[i]);
    }
    uint32_t highest_before = 0;
    bool any_before = false;
    for (size_t i = 0; from + i < search_end; ++i) {
        if (from + i >= even && (!any_before || highest_before < lowest_after[i])) {
            return from + i;
        }
        if (rows[i] != CropRowKeys::kNone) {
            highest_before = std::max(highest_before, rows[i]);
            any_before = true;
        }
    }
    return even;
}

// Where the blocks start: each boundary of an even split (`begins`) moved on
// to one between segments, if there is one near. A block that starts inside a
// segment shares crop rows with the block before it, and the pass fails.
std::vector<size_t> segment_block_begins(const TableView& points, const CropRowKeys& keys,
                                         std::vector<size_t> begins) {
    for (size_t block = 1; block + 1 < begins.size(); ++block) {
        begins[block] = boundary_between_segments(points, keys, begins[block - 1], begins[block],
                                                  begins[block + 1]);
    }
    return begins;
}

// Whether the first points of [begin, end) look like a segment: crop rows
// close together, each met several times. Scattered points mostly show at
// once that they do not: they are turned away here, before a worker starts or
// the output is written.
bool first_points_in_segments(const TableView& points, const CropRowKeys& keys, size_t begin,
                              size_t end) {
    constexpr size_t kProbe = 256;
    std::array<uint32_t, kProbe> rows{};
    const size_t count = std::min(kProbe, end - begin);
    look_up_rows(points, keys, [&](size_t i) { return begin + i; }, count, rows.data());
    const auto known = static_cast<size_t>(
        std::remove(rows.begin(), rows.begin() + count, CropRowKeys::kNone) - rows.begin());
    std::sort(rows.begin(), rows.begin() + known);
    const auto distinct =
        static_cast<size_t>(std::unique(rows.begin(), rows.begin() + known) - rows.begin());
    return known == 0 || (rows[distinct - 1] - rows[0] < kMaxSegmentRows && 2 * distinct <= known);
}

}  // namespace

bool copy_survivors_in_segments(const TableView& points, const CropRowKeys& keys,
                                const RowFilters& plan, const WorkerPool& pool, size_t blocks,
                                const PassProgress& progress, FloatTable& output) {
    std::vector<size_t> even = even_block_begins(points.rows, blocks);
    for (size_t block = 0; block < blocks; ++block) {
        if (!first_points_in_segments(points, keys, even[block], even[block + 1])) {
            return false;
        }
    }
    return copy_in_block_pairs(
        segment_block_begins(points, keys, std::move(even)), points.cols, pool, progress, output,
        [&](size_t begin, size_t end, double* meet, bool backward) {
            return backward ? copy_block_in_segments<true>(points, keys, plan, begin, end, meet)
                            : copy_block_in_segments<false>(points, keys, plan, begin, end, meet);
        });
}

}  // namespace cropmerge
