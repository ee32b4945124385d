#include "engine/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

}  // namespace

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

void WorkerPool::for_each(size_t count, const std::function<void(size_t)>& task) const {
    std::atomic<size_t> next{0};
    std::atomic<size_t> lowest_failed{SIZE_MAX};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;

    auto work = [&]() noexcept {
        while (!stop.load(std::memory_order_relaxed)) {
            const size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= count || index > lowest_failed.load(std::memory_order_relaxed)) {
                return;
            }
            try {
                task(index);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (index < lowest_failed.load(std::memory_order_relaxed)) {
                    lowest_failed.store(index, std::memory_order_relaxed);
                    failure = std::current_exception();
                }
            }
        }
    };

    const size_t extra = std::min(workers_, count) - (count == 0 ? 0 : 1);
    std::vector<std::thread> threads;
    threads.reserve(extra);
    bool start_failed = false;
    std::system_error start_error(std::error_code{});
    for (size_t w = 1; w <= extra; ++w) {
        try {
            threads.emplace_back([&work, w] {
                char name[16];  // the kernel keeps 15 characters
                std::snprintf(name, sizeof name, "cropmerge-%zu", w);
                pthread_setname_np(pthread_self(), name);
                work();
            });
        } catch (const std::system_error& error) {
            start_failed = true;
            start_error = error;
            stop.store(true);
            break;
        }
    }
    if (!start_failed) {
        work();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (start_failed) {
        fail_pool_build(start_error);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace cropmerge
