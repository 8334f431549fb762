#include "formats/pkware/pkware_unpacker.h"

#include <cstring>

#include "formats/pkware/pkware_decoder.h"

bool PkwareUnpacker::tryUnpack() {
    ScanState& scan = scan_;
    // Nearly every offset fails one of the two header checks (literal mode 0 or 1, dictionary
    // code 4 to 6), which the decoder makes before it produces anything; answering them here
    // spares setting up a decode.
    const std::uint8_t* start = scan.inputView + scan.currentOffset;
    const std::uint64_t rest = scan.inputSize - scan.currentOffset;
    if (start[0] > 1 || (rest >= 2 && (start[1] < 4 || start[1] > 6))) return false;

    scan.outputSize = scan.sizes.bufferCapacity;
    if (scan.dryRuns) {
        // The dry run knows the answer and the size; only a stream that will be written needs
        // its bytes, and so the decoder.
        const DclOutcome expected =
            dryRun_.run(scan.inputView, scan.inputSize, scan.currentOffset, scan.sizes.bufferCapacity);
        if (!found(expected.result, scan.sizes.bufferCapacity)) return false;
        scan.outputSize = expected.written;
        if (expected.result == dclComplete) scan.inputEnd = expected.end;
        if (!scan.bytesWanted(expected.written)) return true;
    }
    written_ = 0;
    handedOver_ = 0;

    std::uint32_t unread = 0;
    const DclResult result = dclExplode(readInput, this, writeOutput, this, &unread);
    if (result == dclComplete) scan.inputEnd = scan.currentOffset + handedOver_ - unread;
    if (!found(result, scan.sizes.bufferCapacity)) return false;
    scan.outputSize = written_;
    return true;
}

// A stop comes only from a full buffer; with no buffer at all nothing usable was found.
bool PkwareUnpacker::found(DclResult result, std::uint32_t capacity) {
    return result == dclComplete || (result == dclStopped && capacity != 0);
}

std::uint32_t PkwareUnpacker::readInput(void* context, const std::uint8_t** next) {
    auto& self = *static_cast<PkwareUnpacker*>(context);
    const ScanState& scan = self.scan_;
    const std::uint64_t start = scan.currentOffset + self.handedOver_;
    if (start >= scan.inputSize) return 0;
    const std::uint64_t rest = scan.inputSize - start;
    // The count is 32-bit: larger inputs go over in several blocks.
    const std::uint32_t block = rest > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rest);
    *next = scan.inputView + start;
    self.handedOver_ += block;
    return block;
}

int PkwareUnpacker::writeOutput(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto& self = *static_cast<PkwareUnpacker*>(context);
    const ScanState& scan = self.scan_;
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    // written_ never exceeds capacity, so this cannot wrap as written_ + count could.
    const std::uint32_t room = capacity - self.written_;
    if (count > room) count = room;
    if (count != 0) std::memcpy(scan.outputBuffer + self.written_, bytes, count);
    self.written_ += count;
    return self.written_ >= capacity ? 1 : 0;
}
