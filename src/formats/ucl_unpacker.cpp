#include "formats/ucl_unpacker.h"

#include <ucl/ucl.h>

#include <algorithm>
#include <limits>

#include "formats/ucl_precheck.h"

namespace {

using UclDecoder = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);

// The decoders may read one byte past the source and write one past the capacity; the scan
// state keeps a spare byte after both.
bool tryUclDecoder(ScanState& scan, UclMethod method, UclDecoder decode) {
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    const std::uint8_t* source = scan.inputView + scan.currentOffset;
    // ucl_uint is 32-bit: past 4 GiB the decoder sees the first 4 GiB - 1 of the rest.
    const auto sourceLength = static_cast<ucl_uint>(
        std::min<std::uint64_t>(scan.inputSize - scan.currentOffset, std::numeric_limits<ucl_uint>::max()));

    if (scan.dryRuns) {
        // The walk knows the decoder's answer and size; only a stream that will be written
        // needs its bytes, and so the library.
        const UclVerdict verdict =
            precheckUclStream(method, source, sourceLength, capacity, scan.onesRuns);
        scan.outputSize = verdict.produced;
        if (!verdict.stream) return false;
        scan.inputEnd = scan.currentOffset + verdict.taken;
        if (!scan.bytesWanted(verdict.produced)) return true;
    }

    ucl_uint produced = capacity;
    const int result = decode(source, sourceLength, scan.outputBuffer, &produced, nullptr);
    scan.outputSize = static_cast<std::uint32_t>(produced);
    return uclOutcomeIsStream({result, scan.outputSize});
}

}  // namespace

bool Ucl2bUnpacker::tryUnpack() { return tryUclDecoder(scan_, UclMethod::nrv2b, ucl_nrv2b_decompress_safe_8); }

bool Ucl2dUnpacker::tryUnpack() { return tryUclDecoder(scan_, UclMethod::nrv2d, ucl_nrv2d_decompress_safe_8); }
