// Which input a dry run's landmarks and indexes were made on: what it keeps holds for that input
// alone, and goes when it is given another address or size.
// Thread safety: one per dry run.
#pragma once

#include <cstdint>

namespace korvel {

// Notes `input` of `size` bytes as the one walked; true when it is another than before, and
// what was kept about that one must be forgotten.
inline bool walkAnother(const std::uint8_t*& walked, std::uint64_t& walkedSize, const std::uint8_t* input,
                        std::uint64_t size) {
    if (input == walked && size == walkedSize) return false;
    walked = input;
    walkedSize = size;
    return true;
}

}  // namespace korvel
