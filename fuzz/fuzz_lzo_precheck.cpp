// The LZO1X unpacker with its pre-check on and off: the same answer, size and saved bytes at
// offset 0 and at a few more offsets, and the pre-check's outcome equal to the library's.
// Input: capacity (2 bytes) and skip (1 byte), then the data.
#include <lzo/lzo1x.h>

#include "formats/lzo/lzo_precheck.h"
#include "formats/lzo/lzo_unpacker.h"
#include "fuzz_support.h"

using namespace korvel;

namespace {

struct Attempt {
    bool found;
    std::uint32_t size;
};

Attempt attempt(LzoUnpacker& unpacker, ScanState& scan, std::uint64_t offset) {
    scan.currentOffset = offset;
    const bool found = unpacker.tryUnpack();
    return {found, found ? scan.outputSize : 0};
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
    // Two unpackers, each keeping its own paths: one with the dry run, one calling the library.
    ScanState on, off;
    pointScanStateAt(on, input.get(), size, onOutput.get(), capacity, skip);
    pointScanStateAt(off, input.get(), size, offOutput.get(), capacity, skip);
    off.dryRuns = false;
    LzoUnpacker onUnpacker(on), offUnpacker(off);
    LzoPrecheck precheck(32);  // a small budget: landmarks are dropped, thinned out, thickened
    // Offsets in order, as the scan takes them, so that walks join at landmarks.
    const std::size_t step = size / 7 + 1;
    for (std::size_t offset = 0; offset < size; offset += offset < 16 ? 1 : step) {
        const Attempt withDryRun = attempt(onUnpacker, on, offset);
        const Attempt plain = attempt(offUnpacker, off, offset);
        FUZZ_CHECK(withDryRun.found == plain.found);
        FUZZ_CHECK(withDryRun.size == plain.size);
        if (withDryRun.found && withDryRun.size > skip && withDryRun.size < capacity)
            FUZZ_CHECK(std::memcmp(onOutput.get(), offOutput.get(), withDryRun.size) == 0);

        lzo_uint produced = capacity;
        const int result = lzo1x_decompress_safe(input.get() + offset, size - offset, offOutput.get(), &produced, nullptr);
        const LzoOutcome outcome = precheck.run(input.get(), size, offset, capacity);
        FUZZ_CHECK(outcome.result == result);
        FUZZ_CHECK(outcome.produced == produced);
    }
    return 0;
}
