// dclExplode through the unpacker's input and output functions, on arbitrary bytes and on
// streams the test-side writer makes of arbitrary bytes (which must come back unchanged); the
// dry run alone must give the decoder's answer, size and end.
#include "dcl_writer.h"
#include "formats/pkware/pkware_decoder.h"
#include "formats/pkware/pkware_unpacker.h"
#include "fuzz_support.h"

using namespace korvel;

namespace {

struct Attempt {
    bool found;
    std::uint32_t size;
    std::uint64_t end;
};

// With `dryRunAlone`, the dry run answers and the decoder never runs.
Attempt attempt(const std::uint8_t* input, std::size_t size, std::uint8_t* output, std::uint32_t capacity,
                bool dryRunAlone = false) {
    ScanState scan;
    pointScanStateAt(scan, input, size, output, capacity);
    scan.dryRuns = dryRunAlone;
    scan.keepBytes = !dryRunAlone;
    PkwareUnpacker unpacker(scan);
    const bool found = unpacker.tryUnpack();
    return {found, scan.outputSize, scan.inputEnd};
}

void expectSameAnswers(const Attempt& dryRun, const Attempt& decoder) {
    FUZZ_CHECK(dryRun.found == decoder.found);
    if (!decoder.found) return;
    FUZZ_CHECK(dryRun.size == decoder.size);
    FUZZ_CHECK(dryRun.end == decoder.end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint32_t capacity = (data[0] | data[1] << 8) & 0x7FFF;
    const std::uint8_t mode = data[2];
    data += 3;
    size -= 3;

    // Exactly capacity bytes: the unpacker must never write past them.
    const auto output = exactCopy(nullptr, 0, capacity);
    const auto again = exactCopy(nullptr, 0, capacity);
    const auto input = exactCopy(data, size);
    const Attempt first = attempt(input.get(), size, output.get(), capacity);
    expectSameAnswers(attempt(input.get(), size, nullptr, capacity, true), first);
    if (first.found) FUZZ_CHECK(first.size <= capacity);
    const Attempt second = attempt(input.get(), size, again.get(), capacity);
    FUZZ_CHECK(first.found == second.found);
    if (first.found) {
        FUZZ_CHECK(first.size == second.size);
        FUZZ_CHECK(std::memcmp(output.get(), again.get(), first.size) == 0);
    }

    // Round trip through the writer, whole or cut short by one byte.
    const Bytes plain(data, data + size);
    const Bytes packed = dclCompress(plain, mode & 1, 4 + (mode >> 1) % 3);
    const bool cut = (mode & 0x80) != 0;
    const std::size_t packedSize = packed.size() - (cut ? 1 : 0);
    const auto packedCopy = exactCopy(packed.data(), packedSize);
    const Attempt decoded = attempt(packedCopy.get(), packedSize, output.get(), capacity);
    expectSameAnswers(attempt(packedCopy.get(), packedSize, nullptr, capacity, true), decoded);
    if (cut) {
        FUZZ_CHECK(!decoded.found || plain.size() >= capacity);
    } else if (plain.size() < capacity) {
        FUZZ_CHECK(decoded.found && decoded.size == plain.size());
        FUZZ_CHECK(plain.empty() || std::memcmp(output.get(), plain.data(), plain.size()) == 0);
    } else {
        // Fills the buffer: found with exactly the capacity (nothing when the capacity is 0,
        // unless nothing was to be decoded).
        FUZZ_CHECK(decoded.found == (capacity != 0 || plain.empty()));
        if (decoded.found) FUZZ_CHECK(decoded.size == capacity);
        if (capacity != 0) FUZZ_CHECK(std::memcmp(output.get(), plain.data(), capacity) == 0);
    }
    return 0;
}
