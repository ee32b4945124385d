#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace cropmerge {

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

// Uninitialised storage for `count` values of T, released with std::free.
template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

// Whether large buffers ask the kernel for huge pages. Results become NumPy
// arrays: the module sets this before every call to what NumPy does for its
// own large arrays, so that one switch (NumPy's) governs both.
inline std::atomic<bool> advise_huge_pages{true};

namespace detail {

constexpr size_t kHugePage = size_t{2} << 20U;

inline void* allocate_bytes(size_t bytes) {
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    // Large tables are touched once, page by page: on huge pages the kernel
    // takes one fault per 2 MiB instead of one per 4 KiB.
    const size_t misalignment = reinterpret_cast<uintptr_t>(memory) % kHugePage;
    const size_t lead = misalignment == 0 ? 0 : kHugePage - misalignment;
    if (advise_huge_pages.load(std::memory_order_relaxed) && bytes >= lead + kHugePage) {
        madvise(static_cast<char*>(memory) + lead, (bytes - lead) / kHugePage * kHugePage,
                MADV_HUGEPAGE);
    }
    return memory;
}

}  // namespace detail

// Hands the whole pages in [begin, end) back to the system; they read as
// zeros if touched again.
inline void release_pages(char* begin, char* end) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t first = (start + page - 1) / page * page;
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) / page * page;
    if (last > first) {
        madvise(begin + (first - start), last - first, MADV_DONTNEED);
    }
}

template <class T>
Buffer<T> make_buffer(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) {
        throw std::bad_alloc();
    }
    return Buffer<T>(static_cast<T*>(detail::allocate_bytes(count * sizeof(T))));
}

}  // namespace cropmerge
