#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cropmerge {

// Open-addressing hash index from a pair of 64-bit keys to a 32-bit value.
// The first value inserted for a key stays: lookups then agree with a scan
// from the top that stops at the first match.
class PairIndex {
public:
    static constexpr uint32_t kMissing = UINT32_MAX;

    explicit PairIndex(size_t expected_keys) {
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
        __builtin_prefetch(&slots_[hash(first, second) & mask_]);
    }

private:
    struct Slot {
        uint64_t first = 0;
        uint64_t second = 0;
        uint32_t value = kMissing;
    };

    static size_t hash(uint64_t first, uint64_t second) {
        uint64_t h = first * 0x9E3779B97F4A7C15ULL ^ (second + 0x632BE59BD9B4E019ULL);
        h ^= h >> 29U;
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 32U;
        return static_cast<size_t>(h);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

}  // namespace cropmerge
