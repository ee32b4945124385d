#pragma once

#include <cstddef>

namespace cropmerge {

inline constexpr size_t kCacheLine = 64;  // bytes

// Starts fetching the cache line that holds `address`, to read it or to
// write it. The empty volatile asm is for GCC, which counts a prefetch as
// free of effects: a function that only prefetches would be taken for one
// that does nothing, and its calls dropped.
inline void prefetch_for_read(const void* address) {
    __builtin_prefetch(address, 0);
    asm volatile("");
}

inline void prefetch_for_write(const void* address) {
    __builtin_prefetch(address, 1);
    asm volatile("");
}

}  // namespace cropmerge
