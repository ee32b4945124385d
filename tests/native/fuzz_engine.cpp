// libFuzzer target over the engine's entry point. The input is decoded into
// three small tables (any shape up to 12 by 13, row- or column-major, values
// biased towards small ids and awkward floats), a tolerance and a worker
// count. The points come as decoded or rearranged the ways tables come: in
// crop-row order, crop rows together in another order, grouped by second id
// (as by image tile) with crop rows interleaved, or shuffled. No oracle is
// needed; every run checks that
//   - a failure carries one of the engine's known messages;
//   - the decoded worker count gives exactly the single-worker outcome;
//   - the same tables in the other memory order give the same outcome;
//   - the output has the columns of points_in_rows, and its rows are whole
//     rows of points_in_rows: for each crop row in turn, a subset of the
//     points with its integer id pair, in table order.
// A broken invariant aborts with a message on standard error (rerun the
// crashing input without -close_fd_mask to see it).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/failure.h"
#include "engine/float_table.h"
#include "engine/parallel_driver.h"

namespace {

using cropmerge::FloatTable;
using cropmerge::TableView;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void broken(const char* invariant, const std::string& detail = "") {
    std::fprintf(stderr, "broken invariant: %s %s\n", invariant, detail.c_str());
    std::abort();
}

// Values that ids and coordinates are made of: small ids most of the time so
// that the tables refer to each other, else awkward floats or raw bits.
double decode_value(FuzzedDataProvider& input) {
    static constexpr std::array<double, 14> kAwkward = {
        kNaN, -0.0,  0.5,   1.5,      -1.0,   3.7,
        kInf, -kInf, 1e300, 4.9e-324, 1e-310, 18446744073709551616.0,
        1e20, -2.5};
    const uint8_t selector = input.ConsumeIntegral<uint8_t>();
    if (selector < 160) {
        return static_cast<double>(selector % 5);
    }
    if (selector < 240) {
        return kAwkward[selector % kAwkward.size()];
    }
    const auto bits = input.ConsumeIntegral<uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

FloatTable decode_table(FuzzedDataProvider& input, size_t usual_cols) {
    const size_t rows = input.ConsumeIntegralInRange<size_t>(0, 12);
    // The usual width most of the time, any width up to 13 otherwise.
    const size_t cols =
        input.ConsumeBool() ? usual_cols : input.ConsumeIntegralInRange<size_t>(0, 13);
    FloatTable table = FloatTable::row_major(rows, cols);
    for (size_t i = 0; i < rows * cols; ++i) {
        table.data()[i] = decode_value(input);
    }
    return table;
}

FloatTable column_major_copy(const FloatTable& table) {
    FloatTable copy = FloatTable::column_major(table.rows(), table.cols());
    for (size_t r = 0; r < table.rows(); ++r) {
        for (size_t c = 0; c < table.cols(); ++c) {
            copy.data()[c * table.rows() + r] = table.view().at(r, c);
        }
    }
    return copy;
}

struct Outcome {
    std::optional<FloatTable> table;
    std::string failure;
};

Outcome run(const TableView& connected, const TableView& points, const TableView& info,
            double tolerance, unsigned long long workers) {
    Outcome outcome;
    try {
        outcome.table =
            cropmerge::multithreaded_merging(connected, points, info, tolerance, workers);
    } catch (const cropmerge::Failure& failure) {
        outcome.failure = failure.what();
    }
    return outcome;
}

bool is_pool_build_failure(std::string_view message) {
    return message.starts_with("called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError");
}

bool is_known_failure(std::string_view message) {
    return message == cropmerge::kIndexOutOfBounds || message == cropmerge::kRowIndexAssertion ||
           message == cropmerge::kMissingRow || message == cropmerge::kIncompatibleShape ||
           is_pool_build_failure(message);
}

bool same_bits(const double* a, const double* b, size_t count) {
    return count == 0 || std::memcmp(a, b, count * sizeof(double)) == 0;
}

void expect_same(const Outcome& a, const Outcome& b, const char* invariant) {
    if (is_pool_build_failure(a.failure) || is_pool_build_failure(b.failure)) {
        return;  // the system refused a thread: not the engine's doing
    }
    if (a.table.has_value() != b.table.has_value()) {
        broken(invariant, a.failure + " | " + b.failure);
    }
    if (!a.table) {
        if (a.failure != b.failure) {
            broken(invariant, a.failure + " | " + b.failure);
        }
        return;
    }
    if (a.table->rows() != b.table->rows() || a.table->cols() != b.table->cols() ||
        !same_bits(a.table->data(), b.table->data(), a.table->size())) {
        broken(invariant, "outputs differ");
    }
}

// Integer id of a float id: truncated toward zero, NaN and negatives 0,
// saturated at 2^64 - 1.
uint64_t integer_id(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(value);
}

// The output is a subsequence of the concatenation, over the crop rows in
// order, of each crop row's points in table order (greedy matching decides
// that exactly).
void check_output_rows(const FloatTable& output, const TableView& connected,
                       const TableView& points) {
    if (output.cols() != points.cols) {
        broken("output has the columns of points_in_rows");
    }
    if (output.col_stride() != 1 || output.row_stride() != static_cast<ptrdiff_t>(output.cols())) {
        broken("output is row-major");
    }
    std::vector<double> row(points.cols);
    size_t next = 0;
    for (size_t crop = 0; crop < connected.rows && next < output.rows(); ++crop) {
        if (connected.cols < 3 || points.cols < 2) {
            break;  // no crop row can own a point
        }
        const uint64_t first = integer_id(connected.at(crop, 1));
        const uint64_t second = integer_id(connected.at(crop, 2));
        for (size_t p = 0; p < points.rows && next < output.rows(); ++p) {
            if (integer_id(points.at(p, 0)) != first || integer_id(points.at(p, 1)) != second) {
                continue;
            }
            for (size_t c = 0; c < points.cols; ++c) {
                row[c] = points.at(p, c);
            }
            if (same_bits(row.data(), output.data() + next * output.cols(), points.cols)) {
                ++next;
            }
        }
    }
    if (next != output.rows()) {
        broken("output rows are, per crop row, a subset of its points in table order",
               std::to_string(next) + " of " + std::to_string(output.rows()) + " rows matched");
    }
}

// The first crop row with the point's integer id pair, or the crop row count.
size_t crop_row_of(const TableView& points, size_t point, const TableView& connected) {
    for (size_t crop = 0; crop < connected.rows; ++crop) {
        if (integer_id(connected.at(crop, 1)) == integer_id(points.at(point, 0)) &&
            integer_id(connected.at(crop, 2)) == integer_id(points.at(point, 1))) {
            return crop;
        }
    }
    return connected.rows;
}

void shuffle(FuzzedDataProvider& input, std::vector<size_t>& order) {
    for (size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[input.ConsumeIntegralInRange<size_t>(0, i - 1)]);
    }
}

// The order in which the points are listed: as decoded, or one of the
// orders that tables come in (see the top of the file).
std::vector<size_t> point_order(FuzzedDataProvider& input, const TableView& points,
                                const TableView& connected) {
    std::vector<size_t> order(points.rows);
    std::iota(order.begin(), order.end(), 0);
    const uint8_t arrangement = input.ConsumeIntegralInRange<uint8_t>(0, 4);
    if (arrangement == 0 || points.cols < 2 || connected.cols < 3) {
        return order;
    }
    std::vector<size_t> group(points.rows);  // what the points are grouped by
    if (arrangement == 3) {
        shuffle(input, order);
        for (size_t p = 0; p < points.rows; ++p) {
            group[p] = integer_id(points.at(p, 1)) % 1024;
        }
    } else {
        std::vector<size_t> rank(connected.rows + 1);
        std::iota(rank.begin(), rank.end(), 0);
        if (arrangement == 2) {
            shuffle(input, rank);
        }
        for (size_t p = 0; p < points.rows; ++p) {
            group[p] = rank[crop_row_of(points, p, connected)];
        }
    }
    if (arrangement == 4) {
        shuffle(input, order);
    } else {
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return group[a] < group[b]; });
    }
    return order;
}

FloatTable rearranged(const FloatTable& table, const std::vector<size_t>& order) {
    FloatTable copy = FloatTable::row_major(table.rows(), table.cols());
    for (size_t r = 0; r < order.size(); ++r) {
        for (size_t c = 0; c < table.cols(); ++c) {
            copy.data()[r * table.cols() + c] = table.view().at(order[r], c);
        }
    }
    return copy;
}

double decode_tolerance(FuzzedDataProvider& input) {
    static constexpr std::array<double, 10> kTolerances = {0.0,  0.5,   1.0,  2.0,    -1.0,
                                                           kInf, -kInf, kNaN, 1e-310, 1e300};
    const uint8_t selector = input.ConsumeIntegral<uint8_t>();
    if (selector < 200) {
        return kTolerances[selector % kTolerances.size()];
    }
    return input.ConsumeFloatingPoint<double>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    static constexpr std::array<unsigned long long, 11> kWorkers = {0, 1, 2, 3,  4,         5,
                                                                    6, 7, 8, 64, 1ULL << 40};
    const unsigned long long workers = kWorkers[input.ConsumeIntegralInRange<size_t>(0, 10)];
    const double tolerance = decode_tolerance(input);
    const FloatTable connected = decode_table(input, 11);
    const FloatTable decoded_points = decode_table(input, 4);
    const FloatTable info = decode_table(input, 11);
    const FloatTable points =
        rearranged(decoded_points, point_order(input, decoded_points.view(), connected.view()));

    const Outcome single = run(connected.view(), points.view(), info.view(), tolerance, 1);
    if (!single.table && !is_known_failure(single.failure)) {
        broken("a failure carries a known message", single.failure);
    }
    if (single.table) {
        check_output_rows(*single.table, connected.view(), points.view());
    }
    expect_same(run(connected.view(), points.view(), info.view(), tolerance, workers), single,
                "the worker count does not change the outcome");
    const FloatTable connected_f = column_major_copy(connected);
    const FloatTable points_f = column_major_copy(points);
    const FloatTable info_f = column_major_copy(info);
    expect_same(run(connected_f.view(), points_f.view(), info_f.view(), tolerance, workers), single,
                "the memory order does not change the outcome");
    return 0;
}
