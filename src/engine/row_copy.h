#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/float_table.h"

namespace cropmerge {

// Long runs of survivors are written with streaming stores; a scattered
// survivor fills part of a line, which streaming stores handle badly.
inline constexpr size_t kMinStreamedBytes = 256;

// Copies a few points' values, `bytes` a multiple of 8, without a call:
// scattered survivors are copied one at a time.
inline void copy_short(char* to, const char* from, size_t bytes) {
    size_t done = 0;
#if defined(__SSE2__)
    for (; done + 16 <= bytes; done += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + done),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done)));
    }
#endif
    for (; done < bytes; done += 8) {
        std::memcpy(to + done, from + done, 8);
    }
}

// Copies `bytes` bytes, a multiple of 8, to memory that nothing reads before
// the copy pass ends. Streaming stores skip reading each destination line
// before writing it, which is a third of the traffic of a copy into fresh
// memory.
inline void stream_bytes(char* to, const char* from, size_t bytes) {
    if (bytes < kMinStreamedBytes) {
        copy_short(to, from, bytes);
        return;
    }
#if defined(__SSE2__)
    const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16);
    std::memcpy(to, from, head);
    size_t done = head;
    for (; done + 16 <= bytes; done += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + done),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done)));
    }
    std::memcpy(to + done, from + done, bytes - done);
#else
    std::memcpy(to, from, bytes);
#endif
}

// Orders the streaming stores before the threads that made them are joined.
inline void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Writes `count` values to `to` past the cache, for values written one
// stretch after another, which fill whole lines between them.
inline void stream_values(const double* from, size_t count, double* to) {
#if defined(__SSE2__) && defined(__x86_64__)
    size_t done = 0;
    if (reinterpret_cast<uintptr_t>(to) % 16 == 0) {
        for (; done + 2 <= count; done += 2) {
            _mm_stream_pd(to + done, _mm_loadu_pd(from + done));
        }
    }
    for (; done < count; ++done) {
        _mm_stream_si64(reinterpret_cast<long long*>(to + done),
                        std::bit_cast<long long>(from[done]));
    }
#else
    std::memcpy(to, from, count * sizeof(double));
#endif
}

// Copies points [first, first + count) to `out`, row-major.
inline void copy_rows(const TableView& points, size_t first, size_t count, double* out) {
    if (points.rows_are_contiguous() && points.row_stride == static_cast<ptrdiff_t>(points.cols)) {
        stream_bytes(reinterpret_cast<char*>(out),
                     reinterpret_cast<const char*>(points.row_start(first)),
                     count * points.cols * sizeof(double));
        return;
    }
    for (size_t point = first; point < first + count; ++point) {
        for (size_t col = 0; col < points.cols; ++col) {
            *out++ = points.at(point, col);
        }
    }
}

}  // namespace cropmerge
