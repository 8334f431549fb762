#include "formats/lzo/lzo_unpacker.h"

#include <lzo/lzo1x.h>

bool LzoUnpacker::tryUnpack() {
    ScanState& scan = scan_;
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    if (scan.dryRuns) {
        const LzoOutcome expected = precheck_.run(scan.inputView, scan.inputSize, scan.currentOffset, capacity);
        scan.outputSize = expected.produced;
        if (!expected.accepted()) return false;
        scan.inputEnd = expected.end;
        if (!scan.bytesWanted(expected.produced)) return true;
    }
    lzo_uint produced = capacity;
    const int result = lzo1x_decompress_safe(scan.inputView + scan.currentOffset,
                                             static_cast<lzo_uint>(scan.inputSize - scan.currentOffset),
                                             scan.outputBuffer, &produced, nullptr);
    scan.outputSize = static_cast<std::uint32_t>(produced);
    return LzoOutcome{result, scan.outputSize}.accepted();
}
