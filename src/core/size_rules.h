// Which decoded streams are kept: the one place that applies -skip and the buffer's capacity.
// Thread safety: a plain value, copied into every worker.
#pragma once

#include <cstdint>

namespace korvel {

inline constexpr std::uint32_t defaultBufferCapacity = 0x10000000;  // 256 MiB

struct SizeRules {
    std::uint32_t skipSize = 0;
    std::uint32_t bufferCapacity = defaultBufferCapacity;

    enum class Verdict : std::uint8_t {
        Dropped,    // at most skipSize bytes (an empty stream always): dropped without a word
        Exhausted,  // filled the buffer: reported, never saved
        Kept,       // saved, listed or reported as the run asks
    };
    // Skip comes first: with a skip size at or above the capacity, a full buffer is dropped too.
    Verdict classify(std::uint32_t size) const {
        if (size <= skipSize) return Verdict::Dropped;
        if (size >= bufferCapacity) return Verdict::Exhausted;
        return Verdict::Kept;
    }
};

}  // namespace korvel
