// The LZO1X unpacker with its pre-check on and off: the same answer, size and saved bytes at
// offset 0 and at a few more offsets, and the pre-check's outcome equal to the library's.
// Input: capacity (2 bytes) and skip (1 byte), then the data.
#include <lzo/lzo1x.h>

#include "formats/lzo_precheck.h"
#include "formats/lzo_unpacker.h"
#include "fuzz_support.h"

namespace {

struct Attempt {
    bool found;
    std::uint32_t size;
};

Attempt attempt(LzoUnpacker& unpacker, bool precheck, std::uint64_t offset) {
    LzoUnpacker::precheckEnabled = precheck;
    Unpacker::scanState.currentOffset = offset;
    const bool found = unpacker.tryUnpack();
    return {found, found ? Unpacker::scanState.outputSize : 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // Small capacities most of the time, up to 64 KiB now and then.
    const std::uint32_t capacity = data[0] & 0x80 ? (data[1] | (data[0] & 0x7Fu) << 8) << 1 : data[1];
    const std::uint32_t skip = data[2] == 0xFF ? 0xFFFFFFFFu : data[2];
    data += 3;
    size -= 3;

    const auto input = exactCopy(data, size);
    const auto onOutput = exactCopy(nullptr, 0, capacity);
    const auto offOutput = exactCopy(nullptr, 0, capacity);
    auto& scan = Unpacker::scanState;
    scan = ScanState{};
    scan.inputView = input.get();
    scan.inputSize = size;
    Unpacker::runOptions.bufferCapacity = capacity;
    Unpacker::runOptions.skipSize = skip;

    LzoUnpacker unpacker("LZO");
    LzoPrecheck precheck;
    ZeroRunIndex zeroRuns;
    // Offsets in order, as the scan takes them, so that kept paths are used.
    const std::size_t step = size / 7 + 1;
    for (std::size_t offset = 0; offset < size; offset += offset < 16 ? 1 : step) {
        scan.outputBuffer = onOutput.get();
        const Attempt on = attempt(unpacker, true, offset);
        scan.outputBuffer = offOutput.get();
        const Attempt off = attempt(unpacker, false, offset);
        FUZZ_CHECK(on.found == off.found);
        FUZZ_CHECK(on.size == off.size);
        if (on.found && on.size > skip && on.size < capacity)
            FUZZ_CHECK(std::memcmp(onOutput.get(), offOutput.get(), on.size) == 0);

        lzo_uint produced = capacity;
        const int result = lzo1x_decompress_safe(input.get() + offset, size - offset, offOutput.get(), &produced, nullptr);
        const LzoOutcome outcome = precheck.run(input.get(), size, offset, capacity, zeroRuns);
        FUZZ_CHECK(outcome.result == result);
        FUZZ_CHECK(outcome.produced == produced);
    }
    LzoUnpacker::precheckEnabled = true;
    scan = ScanState{};
    return 0;
}
