#include "formats/deflate_unpacker.h"

#include "formats/deflate_decoder.h"

bool DeflateUnpacker::tryUnpack() {
    ScanState& scan = scanState;
    scan.outputSize = runOptions.bufferCapacity;
    std::uint64_t sourceLength = scan.inputSize - scan.currentOffset;
    const int result =
        rawInflate(scan.outputBuffer, &scan.outputSize, scan.inputView + scan.currentOffset, &sourceLength);
    if (result == 0) return true;
    // Result 1 leaves outputSize at bufferCapacity, which saving reads as an exhausted buffer;
    // with a capacity of 0 nothing was produced, so nothing was found.
    if (result == 1) return scan.outputSize != 0;
    return false;
}
