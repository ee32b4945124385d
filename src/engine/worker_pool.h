#pragma once

#include <cstddef>
#include <functional>

namespace cropmerge {

// A fixed number of workers for one call. Each `for_each` starts its threads,
// lets every thread (the caller included) claim task indices in ascending
// order from a shared counter, and joins them all before it returns, so no
// thread of ours outlives a loop.
class WorkerPool {
public:
    explicit WorkerPool(size_t workers) : workers_(workers == 0 ? 1 : workers) {}

    size_t size() const { return workers_; }

    // Runs task(i) once for every i in [0, count). When tasks fail, tasks
    // above the lowest failing index may be skipped, every task below it
    // still runs, and the lowest failure is rethrown after the join. A thread
    // that cannot be started fails the loop with the pool-build failure.
    void for_each(size_t count, const std::function<void(size_t)>& task) const;

private:
    size_t workers_;
};

// The worker count for a requested count: 0 means the processors available
// to the process (RAYON_NUM_THREADS, when a positive integer, overrides it);
// more workers than processors cannot help, so no more are started.
size_t resolve_worker_count(unsigned long long requested);

}  // namespace cropmerge
