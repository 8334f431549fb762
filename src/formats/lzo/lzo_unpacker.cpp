#include "formats/lzo/lzo_unpacker.h"

#include <lzo/lzo1x.h>

namespace korvel {

Prediction LzoUnpacker::predict() {
    const ScanState& scan = scan_;
    const LzoOutcome expected =
        precheck_.run(scan.inputView, scan.inputSize, scan.currentOffset, scan.sizes.bufferCapacity);
    if (!expected.accepted()) return Prediction::none();
    return Prediction::stream(expected.produced, expected.end, false);
}

// The library does not tell where a stream ends.
Prediction LzoUnpacker::decode() {
    const ScanState& scan = scan_;
    lzo_uint produced = scan.sizes.bufferCapacity;
    const int result = lzo1x_decompress_safe(scan.inputView + scan.currentOffset,
                                             static_cast<lzo_uint>(scan.inputSize - scan.currentOffset),
                                             scan.outputBuffer, &produced, nullptr);
    const auto size = static_cast<std::uint32_t>(produced);
    return LzoOutcome{result, size}.accepted() ? Prediction::stream(size, 0, true) : Prediction::none();
}

}  // namespace korvel
