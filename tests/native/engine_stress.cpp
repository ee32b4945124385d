// Stress test of the engine's threading, meant to run under ThreadSanitizer:
// merges generated fields many times with 1, 2, 4 and 8 requested workers and
// checks that every run gives exactly the single-worker output (or the same
// failure), splits the passes over the points into 1 to 7 blocks on 8 real
// workers, runs whole merges from 8 threads at once, and draws the progress bar on a
// pseudo-terminal.
//
// Usage: engine_stress [rounds] [seed]
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/crop_row_keys.h"
#include "engine/failure.h"
#include "engine/float_table.h"
#include "engine/in_order_pass.h"
#include "engine/parallel_driver.h"
#include "engine/pass_progress.h"
#include "engine/past_center_filter.h"
#include "engine/progress_bar.h"
#include "engine/row_filters.h"
#include "engine/row_runs_pass.h"
#include "engine/scattered_pass.h"
#include "engine/worker_pool.h"

// Where sanitizer reports go; present only in a sanitizer build.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

using cropmerge::Failure;
using cropmerge::FloatTable;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr unsigned long long kWorkerCounts[] = {1, 2, 4, 8};

int failures = 0;

void check(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

struct Field {
    FloatTable connected;
    FloatTable points;
    FloatTable info;
    double tolerance = 0.5;
};

FloatTable table(const std::vector<std::vector<double>>& rows, size_t cols) {
    FloatTable out = FloatTable::row_major(rows.size(), cols);
    for (size_t r = 0; r < rows.size(); ++r) {
        std::copy(rows[r].begin(), rows[r].end(), out.data() + r * cols);
    }
    return out;
}

// A field of `rows` crop rows laid out as tiles of parallel rows. Each crop
// row reaches one unit into the tiles beside it and is connected to its
// neighbours (up to four slots, some listed twice), so every junction trims
// points. It owns 0 to 40 points in shuffled order, and some crop rows share
// their id pair with another one.
//
// With `connected_cols` of 6 only slot 1 fits; rows in `out_of_bounds` list a
// second connected row, whose second id lies past the table (an index
// failure), and rows in `missing` name a connected row that row_information
// does not have.
Field make_field(std::mt19937_64& rng, size_t rows, size_t connected_cols,
                 const std::vector<size_t>& out_of_bounds = {},
                 const std::vector<size_t>& missing = {}) {
    std::uniform_real_distribution<double> jitter(-0.4, 0.4);
    std::uniform_int_distribution<int> point_count(0, 40);
    std::uniform_int_distribution<int> slot_count(0, 4);
    const size_t per_tile = 8;

    std::vector<std::vector<double>> connected;
    std::vector<std::vector<double>> info;
    std::vector<std::vector<double>> points;
    for (size_t r = 0; r < rows; ++r) {
        const double tile = static_cast<double>(r / per_tile + 1);
        // Every 17th crop row repeats the previous one's id pair.
        const double line = static_cast<double>(r % per_tile + (r % 17 == 16 ? 0 : 1));
        const double x0 = tile * 10.0;
        const double y = line * 3.0;
        info.push_back({tile, 0, 0, 0, line, x0 - 1.0, y, x0 + 11.0, y + 0.5, x0 + 5.0, y + 0.25});

        std::vector<double> c(connected_cols, kNaN);
        c[0] = static_cast<double>(r);
        c[1] = tile;
        c[2] = line;
        const int slots = slot_count(rng);
        for (int s = 0; s < slots; ++s) {
            const size_t col = 2 * static_cast<size_t>(s) + 3;
            const double other_tile = s % 2 == 0 ? tile + 1 : std::max(1.0, tile - 1);
            if (col < connected_cols) {
                c[col] = other_tile;
            }
            if (col + 1 < connected_cols) {
                c[col + 1] = line;
            }
        }
        if (connected_cols > 5 && connected_cols < 11) {
            c[5] = kNaN;  // only slot 1 fits whole: end the list after it
        }
        connected.push_back(std::move(c));

        const int count = point_count(rng);
        for (int p = 0; p < count; ++p) {
            const double x = x0 - 1.0 + 12.0 * p / std::max(1, count - 1) + jitter(rng);
            points.push_back(
                {tile + 0.25, line + 0.75, x, y + jitter(rng), static_cast<double>(p), -0.0});
        }
    }
    // A slot naming a row the field does not have (past the last tile, or a
    // line that a repeated id pair left out) names the crop row itself.
    std::set<std::pair<double, double>> known;
    for (const auto& i : info) {
        known.emplace(i[0], i[4]);
    }
    for (auto& c : connected) {
        for (size_t col = 3; col + 1 < std::min<size_t>(connected_cols, 11); col += 2) {
            if (!std::isnan(c[col]) && !known.contains({c[col], c[col + 1]})) {
                c[col] = c[1];
                c[col + 1] = c[2];
            }
        }
    }
    for (size_t r : out_of_bounds) {
        connected[r][3] = connected[r][1];
        connected[r][4] = connected[r][2];
        connected[r][5] = connected[r][1];
    }
    for (size_t r : missing) {
        connected[r][3] = 1e6;
        connected[r][4] = 1.0;
        if (connected_cols > 5) {
            connected[r][5] = kNaN;
        }
    }
    std::shuffle(points.begin(), points.end(), rng);
    return {table(connected, connected_cols), table(points, 6), table(info, 11), 0.5};
}

struct Outcome {
    std::optional<FloatTable> table;
    std::string failure;

    bool same_as(const Outcome& other) const {
        if (table.has_value() != other.table.has_value()) {
            return false;
        }
        if (!table) {
            return failure == other.failure;
        }
        return table->rows() == other.table->rows() && table->cols() == other.table->cols() &&
               std::memcmp(table->data(), other.table->data(), table->size() * sizeof(double)) == 0;
    }
};

Outcome run(const Field& field, unsigned long long workers) {
    Outcome outcome;
    try {
        outcome.table =
            cropmerge::multithreaded_merging(field.connected.view(), field.points.view(),
                                             field.info.view(), field.tolerance, workers);
    } catch (const Failure& failure) {
        outcome.failure = failure.what();
    }
    return outcome;
}

// Every worker count gives the single-worker outcome, run after run.
void check_worker_counts(const Field& field, int repeats, const std::string& name) {
    const Outcome reference = run(field, 1);
    for (int repeat = 0; repeat < repeats; ++repeat) {
        for (unsigned long long workers : kWorkerCounts) {
            check(run(field, workers).same_as(reference),
                  name + ": " + std::to_string(workers) + " workers differ from one");
        }
    }
}

void stress_successful_merges(std::mt19937_64& rng, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const Field field = make_field(rng, 300 + 97 * static_cast<size_t>(round % 5), 11);
        const Outcome reference = run(field, 1);
        check(reference.table.has_value(), "a valid field merges: " + reference.failure);
        if (reference.table) {
            check(reference.table->rows() > 0 && reference.table->cols() == 6,
                  "a valid field keeps points");
            check(reference.table->rows() < field.points.rows(), "a valid field trims points");
        }
        check_worker_counts(field, 2, "valid field, round " + std::to_string(round));
    }
}

// Crop rows fail with two different messages; the lowest failing row decides
// which one the call reports, for every worker count.
void stress_failing_merges(std::mt19937_64& rng, int rounds) {
    const size_t rows = 400;
    std::uniform_int_distribution<size_t> pick(0, rows - 1);
    for (int round = 0; round < rounds; ++round) {
        std::vector<size_t> out_of_bounds{pick(rng), pick(rng)};
        std::vector<size_t> missing{pick(rng), pick(rng), pick(rng)};
        // Leave no row in both lists.
        for (size_t& r : missing) {
            while (std::find(out_of_bounds.begin(), out_of_bounds.end(), r) !=
                   out_of_bounds.end()) {
                r = (r + 1) % rows;
            }
        }
        const Field field = make_field(rng, rows, 6, out_of_bounds, missing);
        const size_t lowest_oob = *std::min_element(out_of_bounds.begin(), out_of_bounds.end());
        const size_t lowest_missing = *std::min_element(missing.begin(), missing.end());
        const std::string expected =
            lowest_oob < lowest_missing ? cropmerge::kIndexOutOfBounds : cropmerge::kMissingRow;
        for (unsigned long long workers : kWorkerCounts) {
            const Outcome outcome = run(field, workers);
            check(!outcome.table && outcome.failure == expected,
                  "failing field, round " + std::to_string(round) + ", " + std::to_string(workers) +
                      " workers: got '" + outcome.failure + "', expected '" + expected + "'");
        }
    }
}

bool same_table(const FloatTable& a, const FloatTable& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The passes over the points, split into 1 to 7 blocks on 8 real workers
// (the driver never splits into more blocks than there are processors):
// every split gives the one-block output; the pass for points in crop-row
// order refuses a table out of that order whatever the split, and the pass
// for scattered points gives its output for points in order too.
void stress_in_order_blocks(std::mt19937_64& rng, int rounds) {
    const cropmerge::WorkerPool pool(8);
    std::uniform_int_distribution<int> point_count(0, 60);
    std::uniform_real_distribution<double> along(0.0, 100.0);
    std::bernoulli_distribution stranger(0.1);
    for (int round = 0; round < rounds; ++round) {
        const size_t rows = 40 + static_cast<size_t>(round);
        std::vector<std::vector<double>> connected;
        std::vector<std::vector<double>> points;
        cropmerge::RowFilters plan;
        for (size_t r = 0; r < rows; ++r) {
            const double id = static_cast<double>(r + 1);
            connected.push_back({static_cast<double>(r), id, 1.0});
            const int count = point_count(rng);
            for (int p = 0; p < count; ++p) {
                // Points of no crop row (id pair 0, 0) may come anywhere.
                const double own = stranger(rng) ? 0.0 : id + 0.5;
                points.push_back(
                    {own, own == 0.0 ? 0.0 : 1.0, along(rng), 0.0, static_cast<double>(p)});
            }
            // Every third crop row keeps all its points; the others keep
            // those short of x = 61 or past x = 79.
            const bool filtered = r % 3 != 0;
            const size_t first_filter = plan.filters.size();
            if (filtered) {
                plan.filters.emplace_back(cropmerge::Point{60.0, 0.0}, cropmerge::Point{80.0, 0.0},
                                          1.0);
            }
            const std::span<const cropmerge::PastCenterFilter> row_filters(
                plan.filters.data() + first_filter, plan.filters.size() - first_filter);
            plan.rows.push_back(
                {.filters_begin = first_filter, .filter_count = row_filters.size(), .chained = 0});
            plan.near_boxes.push_back(cropmerge::near_box(row_filters));
        }
        const FloatTable connected_table = table(connected, 3);
        const FloatTable in_order = table(points, 5);
        std::rotate(points.begin(), points.begin() + static_cast<ptrdiff_t>(points.size() / 3),
                    points.end());
        const FloatTable out_of_order = table(points, 5);
        const cropmerge::CropRowKeys keys(connected_table.view(), in_order.view());
        cropmerge::ProgressBar bar(rows);
        const cropmerge::PassProgress progress(bar, rows);

        FloatTable expected;
        check(cropmerge::copy_survivors_in_table_order(in_order.view(), keys, plan, pool, 1,
                                                       progress, expected),
              "one block takes points in crop-row order");
        check(expected.rows() > 0 && expected.rows() < in_order.rows(),
              "the filters keep some points and remove others");
        const FloatTable scattered_expected =
            cropmerge::copy_scattered_survivors(out_of_order.view(), keys, plan, pool, 1, progress);
        for (size_t blocks = 1; blocks <= 7; ++blocks) {
            const std::string split = std::to_string(blocks) + " blocks";
            FloatTable output;
            const bool taken = cropmerge::copy_survivors_in_table_order(
                in_order.view(), keys, plan, pool, blocks, progress, output);
            check(taken && same_table(output, expected), split + " give the one-block output");
            FloatTable refused;
            check(!cropmerge::copy_survivors_in_table_order(out_of_order.view(), keys, plan, pool,
                                                            blocks, progress, refused),
                  split + " refuse points out of crop-row order");
            check(same_table(cropmerge::copy_scattered_survivors(in_order.view(), keys, plan, pool,
                                                                 blocks, progress),
                             expected),
                  split + " of scattered points give the in-order output");
            check(same_table(cropmerge::copy_scattered_survivors(out_of_order.view(), keys, plan,
                                                                 pool, blocks, progress),
                             scattered_expected),
                  split + " of scattered points give the one-block output");
        }
    }
}

// Crop rows' points together, the crop rows shuffled: the pass over runs of
// crop rows gives the scattered pass's output whatever the split (the runs
// are found in as many parts as there are blocks), and refuses
// a table where one point inside a run has another crop row's ids.
void stress_row_runs(std::mt19937_64& rng, int rounds) {
    const cropmerge::WorkerPool pool(8);
    std::uniform_int_distribution<int> point_count(40, 160);
    std::uniform_real_distribution<double> along(0.0, 100.0);
    for (int round = 0; round < rounds; ++round) {
        const size_t rows = 100 + static_cast<size_t>(round);
        std::vector<std::vector<double>> connected;
        std::vector<std::vector<std::vector<double>>> runs(rows);
        cropmerge::RowFilters plan;
        for (size_t r = 0; r < rows; ++r) {
            const double id = static_cast<double>(r + 1);
            connected.push_back({static_cast<double>(r), id, 1.0});
            for (int p = point_count(rng); p > 0; --p) {
                runs[r].push_back({id, 1.0, along(rng), 0.0, static_cast<double>(p)});
            }
            plan.filters.emplace_back(cropmerge::Point{60.0, 0.0}, cropmerge::Point{80.0, 0.0},
                                      1.0);
            plan.rows.push_back(
                {.filters_begin = plan.filters.size() - 1, .filter_count = 1U, .chained = 0});
            plan.near_boxes.push_back(cropmerge::near_box({&plan.filters.back(), 1}));
        }
        std::shuffle(runs.begin(), runs.end(), rng);
        std::vector<std::vector<double>> points;
        for (const auto& run : runs) {
            points.insert(points.end(), run.begin(), run.end());
        }
        const FloatTable connected_table = table(connected, 3);
        const FloatTable grouped = table(points, 5);
        std::swap(points[points.size() / 2][0], points[points.size() / 2 + 200][0]);
        const FloatTable intruded = table(points, 5);
        const cropmerge::CropRowKeys keys(connected_table.view(), grouped.view());
        cropmerge::ProgressBar bar(rows);
        const cropmerge::PassProgress progress(bar, rows);
        const FloatTable expected =
            cropmerge::copy_scattered_survivors(grouped.view(), keys, plan, pool, 1, progress);
        // 97 blocks are shorter than the longest runs, which then span whole blocks.
        for (const size_t blocks : {1, 2, 3, 4, 5, 6, 7, 97}) {
            const std::string split = std::to_string(blocks) + " blocks";
            FloatTable output;
            check(cropmerge::copy_survivors_by_row_runs(grouped.view(), keys, plan, pool, blocks,
                                                        progress, output) &&
                      same_table(output, expected),
                  split + " of crop rows' runs give the scattered output");
            check(!cropmerge::copy_survivors_by_row_runs(intruded.view(), keys, plan, pool, blocks,
                                                         progress, output),
                  split + " refuse a run with another crop row's point inside");
        }
    }
}

// Whole merges from 8 threads at once share nothing: each gives the output
// of the same merge run alone.
void stress_concurrent_calls(std::mt19937_64& rng, int rounds) {
    std::vector<Field> fields;
    std::vector<Outcome> expected;
    for (int f = 0; f < 4; ++f) {
        fields.push_back(f == 3 ? make_field(rng, 200, 6, {150}, {120})
                                : make_field(rng, 150 + 50 * static_cast<size_t>(f), 11));
        expected.push_back(run(fields.back(), 1));
    }
    const cropmerge::WorkerPool pool(8);
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::atomic<int>> mismatches(8);
        pool.for_each(8, [&](size_t task) {
            for (size_t call = 0; call < 4; ++call) {
                const size_t f = (task + call) % fields.size();
                if (!run(fields[f], kWorkerCounts[(task + call) % 4]).same_as(expected[f])) {
                    mismatches[task].fetch_add(1);
                }
            }
        });
        for (size_t task = 0; task < 8; ++task) {
            check(mismatches[task].load() == 0,
                  "concurrent caller " + std::to_string(task) + " got a different outcome");
        }
    }
}

// The progress bar drawn on a terminal, advanced by every worker. Standard
// error goes to a pseudo-terminal for the calls, drained by a thread, while
// sanitizer reports keep going to the real standard error.
void stress_progress_bar(std::mt19937_64& rng) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "no pseudo-terminal; progress bar not exercised\n");
        return;
    }
    std::string drawn;
    std::thread drain([&] {
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
            drawn.append(buffer, static_cast<size_t>(n));
        }
    });
    const char* term = std::getenv("TERM");
    const std::string saved_term = term != nullptr ? term : "";
    setenv("TERM", "xterm-256color", 1);
    unsetenv("NO_COLOR");
    const int saved_stderr = dup(STDERR_FILENO);
    if (__sanitizer_set_report_fd != nullptr) {
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved_stderr)));
    }
    dup2(slave, STDERR_FILENO);

    const Field field = make_field(rng, 3000, 11);
    std::vector<Outcome> outcomes;
    for (unsigned long long workers : kWorkerCounts) {
        outcomes.push_back(run(field, workers));
    }

    dup2(saved_stderr, STDERR_FILENO);
    if (__sanitizer_set_report_fd != nullptr) {
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(STDERR_FILENO)));
    }
    close(saved_stderr);
    close(slave);
    if (term != nullptr) {
        setenv("TERM", saved_term.c_str(), 1);
    } else {
        unsetenv("TERM");
    }
    drain.join();  // read() fails once the last descriptor of the slave is closed
    close(master);

    for (const Outcome& outcome : outcomes) {
        check(outcome.same_as(outcomes.front()), "merge on a terminal: outcomes differ");
    }
    check(drawn.find("3000/3000") != std::string::npos, "the finished bar shows 3000/3000");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20240611;
    std::mt19937_64 rng(seed);
    std::fprintf(stderr, "engine_stress: %d rounds, seed %llu, %u processors\n", rounds, seed,
                 std::thread::hardware_concurrency());

    stress_successful_merges(rng, rounds);
    stress_failing_merges(rng, rounds);
    stress_in_order_blocks(rng, rounds);
    stress_row_runs(rng, rounds);
    stress_concurrent_calls(rng, rounds);
    stress_progress_bar(rng);

    if (failures > 0) {
        std::fprintf(stderr, "engine_stress: %d checks failed\n", failures);
        return 1;
    }
    std::fprintf(stderr, "engine_stress: all checks passed\n");
    return 0;
}
