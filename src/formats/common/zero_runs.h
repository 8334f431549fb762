// Lengths of runs of one byte value in the input, for decoders that would otherwise read a long
// run byte by byte at every offset inside it: zeros in LZO length codes, 0xff control bytes
// (all literals) in NRV2B and NRV2D.
// Thread safety: an index belongs to one thread; it caches the last run it found.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace korvel {

template <std::uint8_t value>
class ByteRunIndex {
public:
    // The number of `value` bytes from `position` on, stopping at `limit`. Remembers the last run
    // found, so successive offsets inside one run cost O(1) each: a run is read about once.
    std::size_t length(const std::uint8_t* position, const std::uint8_t* limit) {
        if (position >= limit) return 0;
        if (position < runStart_ || position >= runEnd_) {
            if (*position != value) return 0;
            // A query a little before the known run reads up to it, not through it again.
            const bool before = position < runStart_ && runStart_ < runEnd_ && runStart_ <= limit;
            const std::uint8_t* end = scan(position, before ? runStart_ : limit);
            if (!before || end != runStart_) {
                runEnd_ = end;
                endIsLimit_ = end == limit;
            }
            runStart_ = position;
        }
        if (endIsLimit_ && runEnd_ < limit) {
            runEnd_ = scan(runEnd_, limit);
            endIsLimit_ = runEnd_ == limit;
        }
        return static_cast<std::size_t>(std::min(runEnd_, limit) - position);
    }

private:
    // The first byte from `from` on that is not `value`, or `limit`.
    static const std::uint8_t* scan(const std::uint8_t* from, const std::uint8_t* limit) {
        const std::uint8_t* end = from;
        // Word at a time while aligned, as runs are long where this matters.
        while (end < limit && (reinterpret_cast<std::uintptr_t>(end) & 7) != 0 && *end == value) ++end;
        if (end < limit && *end == value) {
            constexpr std::uint64_t pattern = 0x0101010101010101ull * value;
            while (limit - end >= 8) {
                std::uint64_t word;
                __builtin_memcpy(&word, end, 8);
                if (word != pattern) break;
                end += 8;
            }
            while (end < limit && *end == value) ++end;
        }
        return end;
    }

    const std::uint8_t* runStart_ = nullptr;
    const std::uint8_t* runEnd_ = nullptr;
    bool endIsLimit_ = false;  // the run may go on past runEnd_
};

using ZeroRunIndex = ByteRunIndex<0x00>;
using OnesRunIndex = ByteRunIndex<0xff>;

}  // namespace korvel
