#include "engine/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "engine/failure.h"

namespace cropmerge {

namespace {

size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<size_t>(count);
        }
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// A positive integer in the environment variable, or 0.
unsigned long long positive_from_environment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+') {
        return 0;
    }
    return value;
}

[[noreturn]] void fail_pool_build(const std::system_error& error) {
    int code = error.code().value();
    fail(
        "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: IOError(Os { "
        "code: " +
        std::to_string(code) + ", message: \"" + std::strerror(code) + "\" }) }");
}

// One loop's tasks, claimed in ascending order by its caller and the shared
// threads that take one of its seats.
struct Job {
    Job(const std::function<void(size_t)>& job_task, size_t task_count)
        : task(job_task), count(task_count) {}

    const std::function<void(size_t)>& task;
    const size_t count;
    std::atomic<size_t> next{0};
    std::atomic<size_t> lowest_failed{SIZE_MAX};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    // Guarded by the shared threads' mutex:
    size_t seats = 0;   // shared threads that may still join
    size_t active = 0;  // shared threads inside work()
    Job* next_open = nullptr;

    void work() noexcept {
        for (;;) {
            const size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= count || index > lowest_failed.load(std::memory_order_relaxed)) {
                return;
            }
            try {
                task(index);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failure_mutex);
                if (index < lowest_failed.load(std::memory_order_relaxed)) {
                    lowest_failed.store(index, std::memory_order_relaxed);
                    failure = std::current_exception();
                }
            }
        }
    }
};

// The threads shared by every loop of the process. They sleep on a condition
// variable between loops. The object is never destroyed, so that exit does not
// wait for (or pull the state from under) a sleeping thread; a forked child,
// which has none of its parent's threads, builds a fresh one.
class SharedThreads {
public:
    static SharedThreads& instance() {
        static const bool registered = [] {
            new (storage()) SharedThreads();
            pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
            return true;
        }();
        (void)registered;
        return *std::launder(reinterpret_cast<SharedThreads*>(storage()));
    }

    // Runs `job` on its caller and up to `helpers` shared threads.
    void run(Job& job, size_t helpers) {
        open(job, helpers);
        for (size_t i = 0; i < helpers; ++i) {
            wake_.notify_one();
        }
        job.work();
        close(job);
    }

private:
    static void* storage() {
        alignas(SharedThreads) static unsigned char bytes[sizeof(SharedThreads)];
        return bytes;
    }

    // Fork only while no other thread holds the mutex, so that the child's
    // copy of the state is consistent; the child then starts afresh.
    static void before_fork() { instance().mutex_.lock(); }
    static void after_fork_in_parent() { instance().mutex_.unlock(); }
    static void after_fork_in_child() { new (storage()) SharedThreads(); }

    void open(Job& job, size_t helpers) {
        std::unique_lock<std::mutex> lock(mutex_);
        try {
            while (started_ < helpers) {
                std::thread(&SharedThreads::serve, this, generation_, started_ + 1).detach();
                ++started_;
            }
        } catch (const std::system_error& error) {
            lock.unlock();
            fail_pool_build(error);
        }
        job.seats = helpers;
        job.next_open = open_jobs_;
        open_jobs_ = &job;
        ++generation_;
    }

    // Waits until no shared thread is inside the job any more.
    void close(Job& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        job.seats = 0;
        Job** link = &open_jobs_;
        while (*link != &job) {
            link = &(*link)->next_open;
        }
        *link = job.next_open;
        left_job_.wait(lock, [&] { return job.active == 0; });
    }

    // An open job with a free seat, or null.
    Job* job_with_a_seat() const {
        Job* job = open_jobs_;
        while (job != nullptr && job->seats == 0) {
            job = job->next_open;
        }
        return job;
    }

    void serve(uint64_t seen, size_t number) {
        char name[16];  // the kernel keeps 15 characters
        std::snprintf(name, sizeof name, "cropmerge-%zu", number);
        pthread_setname_np(pthread_self(), name);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = job_with_a_seat();
            if (job == nullptr) {
                continue;
            }
            --job->seats;
            ++job->active;
            lock.unlock();
            job->work();
            lock.lock();
            if (--job->active == 0) {
                left_job_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable left_job_;
    size_t started_ = 0;
    uint64_t generation_ = 0;  // advances whenever a job opens
    Job* open_jobs_ = nullptr;
};

}  // namespace

void WorkerPool::for_each(size_t count, const std::function<void(size_t)>& task) const {
    Job job(task, count);
    const size_t helpers = std::min(workers_, count) - (count == 0 ? 0 : 1);
    if (helpers == 0) {
        job.work();
    } else {
        SharedThreads::instance().run(job, helpers);
    }
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
}

size_t resolve_worker_count(unsigned long long requested) {
    const size_t processors = available_processors();
    if (requested == 0) {
        requested = positive_from_environment("RAYON_NUM_THREADS");
        if (requested == 0) {
            return processors;
        }
    }
    return static_cast<size_t>(std::min<unsigned long long>(requested, processors));
}

}  // namespace cropmerge
