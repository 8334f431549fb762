#include "formats/pkware_unpacker.h"

#include <cstring>

#include "formats/pkware_decoder.h"

std::uint32_t PkwareUnpacker::written = 0;
std::uint64_t PkwareUnpacker::handedOver = 0;

bool PkwareUnpacker::tryUnpack() {
    // Nearly every offset fails one of the two header checks (literal mode 0 or 1, dictionary
    // code 4 to 6), which the decoder makes before it produces anything; answering them here
    // spares setting up a decode.
    const std::uint8_t* start = scanState.inputView + scanState.currentOffset;
    const std::uint64_t rest = scanState.inputSize - scanState.currentOffset;
    if (start[0] > 1 || (rest >= 2 && (start[1] < 4 || start[1] > 6))) return false;

    scanState.outputSize = runOptions.bufferCapacity;
    written = 0;
    handedOver = 0;

    const int result = dclExplode(readInput, this, writeOutput, this);
    if (result == dclComplete) {
        scanState.outputSize = written;
        return true;
    }
    // A stop comes only from a full buffer; with no buffer at all nothing usable was found.
    if (result == dclStopped && scanState.outputSize != 0) {
        scanState.outputSize = written;
        return true;
    }
    return false;
}

std::uint32_t PkwareUnpacker::readInput(void*, const std::uint8_t** next) {
    const std::uint64_t start = scanState.currentOffset + handedOver;
    if (start >= scanState.inputSize) return 0;
    const std::uint64_t rest = scanState.inputSize - start;
    // The count is 32-bit: larger inputs go over in several blocks.
    const std::uint32_t block = rest > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rest);
    *next = scanState.inputView + start;
    handedOver += block;
    return block;
}

int PkwareUnpacker::writeOutput(void*, const std::uint8_t* bytes, std::uint32_t count) {
    const std::uint32_t capacity = runOptions.bufferCapacity;
    // written never exceeds capacity, so this cannot wrap as written + count could.
    const std::uint32_t room = capacity - written;
    if (count > room) count = room;
    if (count != 0) std::memcpy(scanState.outputBuffer + written, bytes, count);
    written += count;
    return written >= capacity ? 1 : 0;
}
