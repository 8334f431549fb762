// Shared pieces of the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/unpacker.h"

using namespace korvel;

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

// Points `scan` at `input` (its spare byte, if any, is the caller's) and `output`.
inline void pointScanStateAt(ScanState& scan, const std::uint8_t* input, std::size_t size, std::uint8_t* output,
                             std::uint32_t capacity, std::uint32_t skip = 0) {
    scan.inputView = input;
    scan.inputSize = size;
    scan.outputBuffer = output;
    scan.sizes = {skip, capacity};
}
