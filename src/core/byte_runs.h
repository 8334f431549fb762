// Lengths of runs of one byte value in the input, for decoders that would otherwise read a long
// run byte by byte at every offset inside it: zeros in LZO length codes, 0xff control bytes
// (all literals) in NRV2B and NRV2D, and runs of any value that NRV2 walks repeat through; and
// for the scan, which screens a block inside a run of one value once. And the length of a
// stretch that repeats a short pattern, for NRV2 walks that repeat through it.
// Thread safety: an index belongs to one thread; it caches the runs it found last.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel {

// The first byte from `from` on that is not `target`, or `limit`.
inline const std::uint8_t* endOfByteRun(const std::uint8_t* from, const std::uint8_t* limit, std::uint8_t target) {
    const std::uint8_t* end = from;
    // Word at a time while aligned, as runs are long where this matters.
    while (end < limit && (reinterpret_cast<std::uintptr_t>(end) & 7) != 0 && *end == target) ++end;
    if (end < limit && *end == target) {
        const std::uint64_t pattern = 0x0101010101010101ull * target;
        while (limit - end >= 8) {
            std::uint64_t word;
            __builtin_memcpy(&word, end, 8);
            if (word != pattern) break;
            end += 8;
        }
        while (end < limit && *end == target) ++end;
    }
    return end;
}

// How many bytes from `from` on, up to `limit`, repeat every `period` bytes: the first
// `period` of them, and each later one that equals the one `period` before it, up to the first
// that does not.
inline std::size_t periodicLength(const std::uint8_t* from, const std::uint8_t* limit, std::size_t period) {
    const auto size = static_cast<std::size_t>(limit - from);
    if (size <= period) return size;
    std::size_t same = 0;  // from[i] == from[i + period] for every i below
    while (size - period - same >= 8) {
        std::uint64_t here, later;
        __builtin_memcpy(&here, from + same, 8);
        __builtin_memcpy(&later, from + same + period, 8);
        if (here != later) {
            const std::uint64_t differ = here ^ later;
            return same + period +
                   static_cast<std::size_t>(std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                                                       : std::countl_zero(differ)) / 8;
        }
        same += 8;
    }
    while (same + period < size && from[same] == from[same + period]) ++same;
    return same + period;
}

// `value`: the byte value of the runs measured, or -1 for runs of whatever byte is at the
// position asked.
template <int value>
class ByteRunIndex {
    static constexpr bool anyValue = value < 0;

public:
    // The number of `value` bytes from `position` on, stopping at `limit`. Remembers the runs
    // found last, so that successive offsets inside one run cost O(1) each and a run is read
    // about once. Several: a walk from an offset in one run may go on through the next ones,
    // and with one run remembered, each offset of the first would read the others again (a
    // disk image's zero runs with data between them made a scan quadratic).
    std::size_t length(const std::uint8_t* position, const std::uint8_t* limit) {
        if (position >= limit) return 0;
        if constexpr (!anyValue) {
            if (*position != value) return 0;
        }
        const std::uint8_t target = anyValue ? *position : static_cast<std::uint8_t>(value);
        // Most runs are short: those are counted in one word and not remembered, so that
        // they never push out the long runs.
        if (limit - position >= 8) {
            std::uint64_t word;
            std::memcpy(&word, position, sizeof word);
            word ^= std::uint64_t{target} * 0x0101010101010101u;
            if (word != 0)
                return static_cast<std::size_t>(std::endian::native == std::endian::little ? std::countr_zero(word)
                                                                                           : std::countl_zero(word)) / 8;
        }
        Run* run = find(position);
        if (run == nullptr) run = add(position, limit, target);
        if (run->endIsLimit && run->end < limit) {
            run->end = endOfByteRun(run->end, limit, target);
            run->endIsLimit = run->end == limit;
        }
        run->used = ++clock_;
        return static_cast<std::size_t>(std::min(run->end, limit) - position);
    }

private:
    struct Run {
        const std::uint8_t* start = nullptr;
        const std::uint8_t* end = nullptr;  // start == end: an empty slot
        bool endIsLimit = false;            // the run may go on past `end`
        std::uint64_t used = 0;
    };
    static constexpr std::size_t remembered = 8;

    Run* find(const std::uint8_t* position) {
        // Successive queries mostly fall in the run of the last one.
        if (Run& last = runs_[lastUsed_]; position >= last.start && position < last.end) return &last;
        for (std::size_t i = 0; i < remembered; ++i) {
            if (position >= runs_[i].start && position < runs_[i].end) {
                lastUsed_ = i;
                return &runs_[i];
            }
        }
        return nullptr;
    }
    // A new run from `position`. One that reaches a known run just after it joins that run, so
    // that a query a little before a run reads up to it, not through it again.
    Run* add(const std::uint8_t* position, const std::uint8_t* limit, std::uint8_t target) {
        Run* next = nullptr;
        Run* oldest = &runs_[0];
        for (Run& run : runs_) {
            if (run.start > position && run.start < run.end && (next == nullptr || run.start < next->start)) next = &run;
            if (run.used < oldest->used) oldest = &run;
        }
        const bool toNext = next != nullptr && next->start <= limit && *next->start == target;
        const std::uint8_t* end = endOfByteRun(position, toNext ? next->start : limit, target);
        Run* run = oldest;
        if (toNext && end == next->start) {
            next->start = position;
            run = next;
        } else {
            *oldest = {position, end, end == limit, 0};
        }
        lastUsed_ = static_cast<std::size_t>(run - runs_.data());
        return run;
    }

    std::array<Run, remembered> runs_{};
    std::uint64_t clock_ = 0;
    std::size_t lastUsed_ = 0;
};

using ZeroRunIndex = ByteRunIndex<0x00>;
using OnesRunIndex = ByteRunIndex<0xff>;
using AnyByteRunIndex = ByteRunIndex<-1>;

}  // namespace korvel
