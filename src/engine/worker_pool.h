#pragma once

#include <cstddef>
#include <functional>

namespace cropmerge {

// A bound on the workers of one call's loops. Each `for_each` lets every
// worker (the caller included) claim task indices in ascending order from a
// shared counter. The workers besides the caller come from threads shared by
// the whole process: started on first need, asleep between loops, and never
// stopped (they end with the process). A child made by fork starts its own on
// its first loop.
class WorkerPool {
public:
    explicit WorkerPool(size_t workers) : workers_(workers == 0 ? 1 : workers) {}

    size_t size() const { return workers_; }

    // Runs task(i) once for every i in [0, count), on at most size() threads,
    // and returns when every task has ended. When tasks fail, tasks above the
    // lowest failing index may be skipped, every task below it still runs,
    // and the lowest failure is rethrown. A thread that cannot be started
    // fails the loop with the pool-build failure. Loops may run at the same
    // time and inside one another's tasks; a loop that finds every shared
    // thread busy runs on fewer threads, down to its caller alone.
    void for_each(size_t count, const std::function<void(size_t)>& task) const;

private:
    size_t workers_;
};

// The worker count for a requested count: 0 means the processors available
// to the process (RAYON_NUM_THREADS, when a positive integer, overrides it);
// more workers than processors cannot help, so no more are started.
size_t resolve_worker_count(unsigned long long requested);

}  // namespace cropmerge
