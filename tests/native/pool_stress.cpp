// Stress test of the worker threads shared by every loop, meant to run under
// ThreadSanitizer: loops of every size on 1 to 8 workers, from several
// threads at once and inside one another's tasks, with failing tasks; every
// task below the lowest failing one runs exactly once and that failure is the
// one rethrown. Loops that need no helper start no thread, and once loops on
// 8 workers have run, no further loop starts more.
//
// Usage: pool_stress [rounds] [seed]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/failure.h"
#include "engine/worker_pool.h"

namespace {

using cropmerge::Failure;
using cropmerge::WorkerPool;

std::atomic<int> failures{0};

void check(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        failures.fetch_add(1);
    }
}

int process_threads() {
    std::ifstream status("/proc/self/status");
    for (std::string word; status >> word;) {
        if (word == "Threads:") {
            int threads = 0;
            status >> threads;
            return threads;
        }
    }
    return -1;
}

// One loop of `count` tasks on `workers`, failing at up to two random tasks;
// a task may run a smaller loop of its own.
void checked_loop(std::mt19937_64& rng, size_t count, size_t workers, bool nested) {
    std::vector<std::atomic<int>> runs(count);
    std::uniform_int_distribution<size_t> pick(0, 3 * count + 1);
    const size_t fail_a = pick(rng);
    const size_t fail_b = pick(rng);
    const size_t lowest = std::min(fail_a, fail_b);
    const uint64_t inner_seed = rng();
    std::string rethrown;
    try {
        WorkerPool(workers).for_each(count, [&](size_t index) {
            runs[index].fetch_add(1, std::memory_order_relaxed);
            if (nested && index % 7 == 0) {
                std::mt19937_64 inner(inner_seed + index);
                checked_loop(inner, 1 + index % 13, 1 + index % 4, false);
            }
            if (index == fail_a || index == fail_b) {
                throw Failure("task " + std::to_string(index));
            }
        });
    } catch (const Failure& failure) {
        rethrown = failure.what();
    }
    for (size_t i = 0; i < count; ++i) {
        const int n = runs[i].load();
        check(i <= lowest ? n == 1 : n <= 1, "task " + std::to_string(i) + " of " +
                                                 std::to_string(count) + " ran " +
                                                 std::to_string(n) + " times");
    }
    const std::string expected = lowest < count ? "task " + std::to_string(lowest) : "";
    check(rethrown == expected, "rethrew '" + rethrown + "', expected '" + expected + "'");
}

void callers_at_once(uint64_t seed, int rounds) {
    std::vector<std::thread> callers;
    for (uint64_t caller = 0; caller < 4; ++caller) {
        callers.emplace_back([seed, caller, rounds] {
            std::mt19937_64 rng(seed + caller);
            std::uniform_int_distribution<size_t> count(0, 300);
            std::uniform_int_distribution<size_t> workers(1, 8);
            for (int round = 0; round < rounds; ++round) {
                checked_loop(rng, count(rng), workers(rng), round % 3 == 0);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::mt19937_64 rng(seed);

    const int threads_at_start = process_threads();
    checked_loop(rng, 1, 8, false);
    checked_loop(rng, 100, 1, false);
    check(process_threads() == threads_at_start, "a loop without helpers started a thread");

    for (int round = 0; round < rounds; ++round) {
        checked_loop(rng, 1 + static_cast<size_t>(round) % 40, 8, round % 5 == 0);
    }
    const int threads_after = process_threads();
    callers_at_once(seed, rounds);
    check(process_threads() == threads_after, "the shared threads grew after the first loops");

    std::printf("pool_stress: %d rounds, %d failures\n", rounds, failures.load());
    return failures.load() == 0 ? 0 : 1;
}
