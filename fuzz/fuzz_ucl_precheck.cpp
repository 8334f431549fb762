// The UCL unpackers with and without their walk must give the same answer, size and bytes; the
// walk must give the library's result code and size, and the dry run, joining and leaping, the
// walk's. Any difference aborts.
//
// Input: byte 0 picks the format (low bit) and the capacity class, bytes 1-2 the capacity
// within it, byte 3 the skip size; the rest is the file. Bit 3 of byte 0 adds a run, up to a
// few thousand bytes long (high nibble of byte 0 and bytes 1-2), before the file or after it
// (low bit of byte 1), of 0xff (taken in groups) or, with bit 1 of byte 1, of bytes 0 ^ 2 (a
// run whose walks repeat): mutations alone seldom make runs long enough to skip through.
// The file sits at the end of a buffer with exactly one spare byte after it, so a read past
// that byte is caught by AddressSanitizer.
#include <ucl/ucl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/ucl/ucl_precheck_internal.h"
#include "formats/ucl/ucl_unpacker.h"
#include "fuzz_support.h"

using namespace korvel;

namespace {

using UclDecoder = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);

struct Observed {
    bool found;
    std::uint32_t size;
};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const bool isD = (data[0] & 1) != 0;
    const unsigned range = (data[0] >> 1) & 3;
    const std::uint32_t low = data[1] | std::uint32_t{data[2]} << 8;
    // Tiny, around typical stream sizes, and large, where spurious matches are long.
    const std::uint32_t capacity = range == 0 ? low % 16 : range == 1 ? low % 4096 : range == 2 ? low : low << 4;
    const std::uint32_t skip = data[3] == 0xff ? 0xffffffff : data[3];
    const std::size_t runLength = (data[0] & 8) != 0 ? (data[0] >> 4) * 256u + (data[1] ^ data[2]) % 37u + 1 : 0;
    const bool runFirst = (data[1] & 1) == 0;
    const std::size_t length = size - 4 + runLength;

    const auto runValue = static_cast<std::uint8_t>((data[1] & 2) != 0 ? data[0] ^ data[2] : 0xff);
    std::vector<std::uint8_t> input(length + 1, runValue);
    std::memcpy(input.data() + (runFirst ? runLength : 0), data + 4, size - 4);
    input[length] = static_cast<std::uint8_t>(data[0] ^ data[1]);  // the spare byte, not always zero
    std::vector<std::uint8_t> output(std::size_t{capacity} + 1);

    const UclMethod method = isD ? UclMethod::nrv2d : UclMethod::nrv2b;
    const UclDecoder decode = isD ? ucl_nrv2d_decompress_safe_8 : ucl_nrv2b_decompress_safe_8;
    ScanState scan;
    pointScanStateAt(scan, input.data(), length, output.data(), capacity, skip);
    Ucl2bUnpacker unpacker2b(scan);
    Ucl2dUnpacker unpacker2d(scan);
    Unpacker& unpacker = isD ? static_cast<Unpacker&>(unpacker2d) : unpacker2b;

    OnesRunIndex onesRuns;  // one for all offsets, as the scan's
    UclDryRun dryRun(method);  // its joins and leaps met at every offset in turn
    std::vector<std::uint8_t> saved;
    for (std::size_t offset = 0; offset < length; ++offset) {
        const auto* source = input.data() + offset;
        const auto sourceLength = static_cast<std::uint32_t>(length - offset);

        // The walk and the quick verdict against the library itself.
        const UclOutcome walked = walkUclStream(method, source, sourceLength, capacity, onesRuns);
        const UclVerdict verdict = precheckUclStream(method, source, sourceLength, capacity, onesRuns);
        ucl_uint produced = capacity;
        const int result = decode(source, sourceLength, output.data(), &produced, nullptr);
        check(walked.result == result && walked.produced == produced);
        check(verdict.stream == uclOutcomeIsStream(walked) && verdict.produced == produced);
        const UclVerdict joined = dryRun.run(input.data(), length, offset, capacity, onesRuns);
        check(joined.result == walked.result && joined.produced == walked.produced);

        // The unpacker with the walk, then without it.
        scan.currentOffset = offset;
        Observed observed[2];
        for (int pass = 0; pass < 2; ++pass) {
            scan.dryRuns = pass == 0;
            output[capacity] = 0xa5;
            observed[pass] = {unpacker.tryUnpack(), scan.outputSize};
            // A failure's length is not kept.
            if (pass == 1) check(observed[0].found == observed[1].found && (!observed[0].found || observed[0].size == observed[1].size));
            const bool isSaved = observed[pass].found && observed[pass].size > skip && observed[pass].size < capacity;
            if (!isSaved) continue;
            if (pass == 0) {
                saved.assign(output.begin(), output.begin() + observed[pass].size);
                saved.push_back(output[capacity]);
            } else {
                check(std::memcmp(saved.data(), output.data(), observed[pass].size) == 0);
                check(saved.back() == output[capacity]);
            }
        }
    }
    return 0;
}
