// Shared pieces of the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Stops the run with a message; libFuzzer saves the input that caused it.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// Heap copy of exactly `size` bytes (plus `spare` zero bytes), so AddressSanitizer catches any
// access beyond.
inline std::unique_ptr<std::uint8_t[]> exactCopy(const std::uint8_t* data, std::size_t size, std::size_t spare = 0) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size + spare]());
    if (size != 0) std::memcpy(copy.get(), data, size);
    return copy;
}
