#include "formats/ucl_unpacker.h"

#include <ucl/ucl.h>

#include <algorithm>
#include <limits>

namespace {

using UclDecoder = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);

// The decoders may read one byte past the source and write one past the capacity; the scan
// state keeps a spare byte after both.
bool tryUclDecoder(UclDecoder decode) {
    auto& scan = Unpacker::scanState;
    // ucl_uint is 32-bit: past 4 GiB the decoder sees the first 4 GiB - 1 of the rest.
    const auto sourceLength = static_cast<ucl_uint>(
        std::min<std::uint64_t>(scan.inputSize - scan.currentOffset, std::numeric_limits<ucl_uint>::max()));
    ucl_uint produced = Unpacker::runOptions.bufferCapacity;
    const int result = decode(scan.inputView + scan.currentOffset, sourceLength, scan.outputBuffer, &produced, nullptr);
    scan.outputSize = static_cast<std::uint32_t>(produced);
    return result == UCL_E_OK || (result == UCL_E_INPUT_NOT_CONSUMED && produced != 0);
}

}  // namespace

bool Ucl2bUnpacker::tryUnpack() { return tryUclDecoder(ucl_nrv2b_decompress_safe_8); }

bool Ucl2dUnpacker::tryUnpack() { return tryUclDecoder(ucl_nrv2d_decompress_safe_8); }
