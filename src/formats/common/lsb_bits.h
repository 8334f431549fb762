// Reading a bit stream whose first bit is the lowest of its first byte (deflate, DCL) at any bit
// position of an input in memory: the dry runs walk from states that other walks left, so they
// read at absolute positions rather than through a running buffer.
// Thread safety: pure functions.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace korvel {

// Eight bytes from `bytes`, the first one lowest.
inline std::uint64_t loadLittleEndian64(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// The bits from bit `position` of input[0, size) on, the first one lowest: at least 57 of them,
// zeros past the end of the input. Nothing at or past input + size is read.
inline std::uint64_t peekLsbBits(const std::uint8_t* input, std::uint64_t size, std::uint64_t position) {
    const std::uint64_t byte = position >> 3;
    std::uint64_t word = 0;
    if (byte + 8 <= size) {
        word = loadLittleEndian64(input + byte);
    } else {
        for (std::uint64_t at = byte; at < size; ++at) word |= std::uint64_t{input[at]} << (8 * (at - byte));
    }
    return word >> (position & 7);
}

}  // namespace korvel
