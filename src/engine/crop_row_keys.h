#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/buffer.h"
#include "engine/float_table.h"
#include "engine/pair_index.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace cropmerge {

// Integer id of a float id: truncated toward zero and saturated to the
// unsigned 64-bit range; NaN and negative values give 0.
inline uint64_t integer_id(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(value);
}

// Ids from this on are left to the hash: a direct table holds only smaller
// ones, so that its lookups can convert ids with direct_id.
constexpr double kDirectIdCeiling = 0x1p62;

// integer_id in fewer steps, for lookups in a direct table: equal to it
// below kDirectIdCeiling, and at least kDirectIdCeiling (which no direct
// table holds) for every id that integer_id takes to that or more. Points
// are looked up one by one, and the exact conversion's steps cost more than
// the lookup.
inline uint64_t direct_id(double value) {
#if defined(__SSE2__) && defined(__x86_64__)
    // max gives its second operand, 0, for NaN; the conversion gives 2^63
    // for everything from 2^63 on.
    const __m128d at_least_zero = _mm_max_sd(_mm_set_sd(value), _mm_setzero_pd());
    return static_cast<uint64_t>(_mm_cvttsd_si64(at_least_zero));
#else
    // NaN fails the comparison and becomes 0, as in integer_id.
    const double clamped = std::min(value > 0.0 ? value : 0.0, kDirectIdCeiling);
    return static_cast<uint64_t>(static_cast<int64_t>(clamped));
#endif
}

// The crop rows indexed by their integer id pair, so that each point finds
// the crop rows it belongs to with one lookup instead of every crop row
// scanning all points. Crop rows that share an id pair are chained in
// ascending order from the first of them.
class CropRowKeys {
public:
    static constexpr uint32_t kNone = PairIndex::kMissing;

    CropRowKeys(const TableView& connected_crop_rows, const TableView& points_in_rows);

    // The first crop row with this integer id pair, or kNone.
    uint32_t first_row(uint64_t first, uint64_t second) const {
        return direct() ? direct_entry(first, second) : rows_.find(first, second);
    }
    // The same for the integer ids of these float ids, when lookups read a
    // table by position (direct()).
    uint32_t first_row_in_table(double first, double second) const {
        return direct_entry(direct_id(first), direct_id(second));
    }
    // The same, trying crop row `guess` before the index: points often come
    // in the crop rows' own order, and the next crop row is read from memory
    // that is already on its way, where an index lookup waits for memory.
    uint32_t first_row(uint64_t first, uint64_t second, size_t guess) const {
        if (guess < first_of_row_.size() && integer_id(crop_rows_.at(guess, 1)) == first &&
            integer_id(crop_rows_.at(guess, 2)) == second) {
            return first_of_row_[guess];
        }
        return first_row(first, second);
    }
    // Whether a lookup reads a table by position (no hashing).
    bool direct() const { return !spans_.empty(); }
    void prefetch(uint64_t first, uint64_t second) const {
        if (spans_.empty()) {
            rows_.prefetch(first, second);
        }
    }
    // The next crop row with the same id pair, or kNone.
    uint32_t next_row_with_same_ids(size_t row) const { return next_row_[row]; }

    // Whether the crop row's point list is empty; known only for tables with
    // both id columns but no coordinates, the only ones where it decides a
    // failure.
    bool row_has_points(size_t row) const { return row_has_points_[row]; }
    // With a one-column `points_in_rows`: whether some point has this first id.
    bool has_first_id(uint64_t first) const { return first_ids_.find(first, 0) != kNone; }

private:
    // The second ids [low, low + count) that crop rows with one first id
    // use, and where their entries start.
    struct SecondIdSpan {
        uint64_t low = UINT64_MAX;
        uint32_t begin = 0;
        uint32_t count = 0;
    };

    // Indexes the first ids of a one-column `points_in_rows`.
    void index_first_ids(const TableView& points_in_rows);
    // Gives every crop row, by its integer id pair, its entry (the first
    // crop row with the pair) and its place in the pair's chain.
    void index_rows(const std::vector<std::array<uint64_t, 2>>& ids);
    // Notes which crop rows some point of a table with both id columns but
    // no coordinates names.
    void mark_rows_with_points(const TableView& points_in_rows);
    // Lays out spans_ and entries_ (all empty) when the ids' spans fit in
    // `limit` entries; false, and no spans, when they do not.
    bool index_by_spans(const std::vector<std::array<uint64_t, 2>>& ids, size_t limit);
    // Places each first id's span of second ids (from the spans' lows to
    // `high`) after the one before; the entries they take, or kTooMany when
    // they need more than `room`.
    static constexpr size_t kTooMany = SIZE_MAX;
    size_t place_spans(const std::vector<uint64_t>& high, size_t room);
    // The first crop row with this integer id pair, in the direct table.
    uint32_t direct_entry(uint64_t first, uint64_t second) const {
        const uint64_t slot = first - lowest_first_;  // wraps below the lowest
        if (slot >= spans_.size()) {
            return kNone;
        }
        const SecondIdSpan& span = spans_[slot];
        const uint64_t offset = second - span.low;  // wraps below the span
        return offset < span.count ? entries_[span.begin + offset] : kNone;
    }
    // The pair's entry: `row` if it was empty; the first crop row it holds.
    uint32_t claim_entry(uint64_t first, uint64_t second, uint32_t row) {
        const SecondIdSpan& span = spans_[first - lowest_first_];
        uint32_t& entry = entries_[span.begin + (second - span.low)];
        if (entry == kNone) {
            entry = row;
        }
        return entry;
    }

    TableView crop_rows_;
    PairIndex rows_{0};
    PairIndex first_ids_{0};
    std::vector<uint32_t> first_of_row_;  // first crop row with the row's id pair
    std::vector<uint32_t> next_row_;
    std::vector<bool> row_has_points_;
    // When the ids are compact, the first crop row of each id pair by
    // position: with span = spans_[first - lowest_first_], the entry
    // entries_[span.begin + second - span.low].
    // It keeps the ids' own locality (crop rows with neighbouring ids share
    // lines) where a hash scatters them. Otherwise lookups go through rows_.
    std::vector<SecondIdSpan> spans_;
    uint64_t lowest_first_ = 0;
    Buffer<uint32_t> entries_;
};

}  // namespace cropmerge
