#include "formats/deflate_unpacker.h"

#include "formats/deflate_decoder.h"

bool DeflateUnpacker::tryUnpack() {
    ScanState& scan = scan_;
    scan.outputSize = scan.sizes.bufferCapacity;
    std::uint64_t sourceLength = scan.inputSize - scan.currentOffset;
    const InflateResult result =
        rawInflate(scan.outputBuffer, &scan.outputSize, scan.inputView + scan.currentOffset, &sourceLength);
    if (result == inflateComplete) {
        scan.inputEnd = scan.currentOffset + sourceLength;
        return true;
    }
    // A full destination leaves outputSize at the capacity, which the size rules read as an
    // exhausted buffer; with a capacity of 0 nothing was produced, so nothing was found.
    if (result == inflateOutputFull) return scan.outputSize != 0;
    return false;
}
