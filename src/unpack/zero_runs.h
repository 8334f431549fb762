// Lengths of runs of zero bytes in the input, for decoders that would otherwise read a long run
// byte by byte at every offset inside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

class ZeroRunIndex {
public:
    // The number of zero bytes from `position` on, stopping at `limit`. Remembers the last run
    // found, so successive offsets inside one run cost O(1) each: a run is read about once.
    std::size_t length(const std::uint8_t* position, const std::uint8_t* limit) {
        if (position >= limit) return 0;
        if (position < runStart_ || position >= runEnd_) {
            if (*position != 0) return 0;
            runStart_ = position;
            runEnd_ = position;
            endIsLimit_ = true;
        }
        if (endIsLimit_ && runEnd_ < limit) extend(limit);
        return static_cast<std::size_t>(std::min(runEnd_, limit) - position);
    }

    // Tells this index from every other one made in the run. The scan state, and this index with
    // it, is made afresh for each input, so a cache kept over one input notices the change here
    // even when the new input lies at the same address.
    std::uint64_t generation() const { return generation_; }

private:
    void extend(const std::uint8_t* limit) {
        const std::uint8_t* end = runEnd_;
        // Word at a time while aligned, as runs are long where this matters.
        while (end < limit && (reinterpret_cast<std::uintptr_t>(end) & 7) != 0 && *end == 0) ++end;
        if (end < limit && *end == 0) {
            while (limit - end >= 8) {
                std::uint64_t word;
                __builtin_memcpy(&word, end, 8);
                if (word != 0) break;
                end += 8;
            }
            while (end < limit && *end == 0) ++end;
        }
        runEnd_ = end;
        endIsLimit_ = end == limit;
    }

    const std::uint8_t* runStart_ = nullptr;
    const std::uint8_t* runEnd_ = nullptr;
    bool endIsLimit_ = false;  // the run may go on past runEnd_
    inline static std::uint64_t lastGeneration_ = 0;
    std::uint64_t generation_ = ++lastGeneration_;
};
