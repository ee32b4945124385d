#pragma once

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/prefetch.h"

namespace cropmerge {

// Open-addressing hash index from a pair of 64-bit keys to a 32-bit value.
// The first value inserted for a key stays: lookups then agree with a scan
// from the top that stops at the first match. Lookups are exact, so which
// slot a key lands in changes neither results nor their order.
class PairIndex {
public:
    static constexpr uint32_t kMissing = UINT32_MAX;

    explicit PairIndex(size_t expected_keys) : key_(process_key()) {
        size_t capacity = 16;
        while (capacity < expected_keys * 2) {
            capacity *= 2;
        }
        slots_.resize(capacity);
        mask_ = capacity - 1;
    }

    // Stores `value` unless the key is present; returns the value kept for the key.
    uint32_t insert(uint64_t first, uint64_t second, uint32_t value) {
        for (size_t i = hash(first, second) & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.value == kMissing) {
                slot = {first, second, value};
                return value;
            }
            if (slot.first == first && slot.second == second) {
                return slot.value;
            }
        }
    }

    uint32_t find(uint64_t first, uint64_t second) const {
        for (size_t i = hash(first, second) & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.value == kMissing || (slot.first == first && slot.second == second)) {
                return slot.value;
            }
        }
    }

    void prefetch(uint64_t first, uint64_t second) const {
        prefetch_for_read(&slots_[hash(first, second) & mask_]);
    }

private:
    struct Slot {
        uint64_t first = 0;
        uint64_t second = 0;
        uint32_t value = kMissing;
    };

    using Key = std::array<uint64_t, 4>;

    // Drawn once per process, as CPython keys its string hashing: ids chosen
    // to collide under one key (flooding a slot range with linear probing)
    // spread out under another.
    static const Key& process_key() {
        static const Key key = draw_key();
        return key;
    }

    // From getrandom itself: std::random_device, linked statically, would
    // tie the wheel to a newer glibc for the same bytes. Where the kernel
    // refuses the call (some sandboxes), the clock and the stack's address
    // still differ from process to process.
    static Key draw_key() {
        Key drawn{};
        auto* bytes = reinterpret_cast<unsigned char*>(drawn.data());
        size_t filled = 0;
        while (filled < sizeof(drawn)) {
            const ssize_t got = getrandom(bytes + filled, sizeof(drawn) - filled, 0);
            if (got > 0) {
                filled += static_cast<size_t>(got);
            } else if (errno != EINTR) {
                break;
            }
        }
        if (filled < sizeof(drawn)) {
            uint64_t mixed =
                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<uintptr_t>(&drawn);
            for (uint64_t& word : drawn) {
                mixed = fold_product(mixed + 0x9E3779B97F4A7C15ULL, 0xD6E8FEB86659FD93ULL);
                word ^= mixed;
            }
        }
        return drawn;
    }

    // The 128-bit product of `a` and `b`, folded to 64 bits.
    static uint64_t fold_product(uint64_t a, uint64_t b) {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64U);
    }

    // The key enters both ids before they are combined, so whether two id
    // pairs collide depends on the key; were the ids combined first, two
    // pairs that combine to the same value would collide under every key.
    // Multiplying the keyed ids together mixes every bit of both into
    // the middle of the product; the second product spreads those over the
    // low bits that the mask keeps. Two multiplies: lookups are per point.
    size_t hash(uint64_t first, uint64_t second) const {
        const unsigned __int128 product =
            static_cast<unsigned __int128>(first ^ key_[0]) * (second ^ key_[1]);
        return fold_product(static_cast<uint64_t>(product) ^ key_[2],
                            static_cast<uint64_t>(product >> 64U) ^ key_[3]);
    }

    Key key_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

}  // namespace cropmerge
