#include "formats/pkware/pkware_unpacker.h"

#include <cstring>

#include "formats/pkware/pkware_decoder.h"

namespace korvel {

// Nearly every offset fails one of the two header checks (literal mode 0 or 1, dictionary code
// 4 to 6), which the decoder makes before it produces anything; answering them here spares
// setting up a walk or a decode.
bool PkwareUnpacker::headerPossibleAt(const std::uint8_t* start, std::uint64_t rest) {
    return start[0] <= 1 && (rest < 2 || (start[1] >= 4 && start[1] <= 6));
}

bool PkwareUnpacker::headerPossible() const {
    return headerPossibleAt(scan_.inputView + scan_.currentOffset, scan_.inputSize - scan_.currentOffset);
}

std::uint64_t PkwareUnpacker::screen(const std::uint8_t* first) const {
    std::uint64_t possible = 0;
    for (unsigned i = 0; i < screenBlock; ++i) possible |= std::uint64_t{headerPossibleAt(first + i, 2)} << i;
    return possible;
}

Prediction PkwareUnpacker::predict() {
    if (!headerPossible()) return Prediction::none();
    const ScanState& scan = scan_;
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    const DclOutcome expected = dryRun_.run(scan.inputView, scan.inputSize, scan.currentOffset, capacity);
    if (!found(expected.result, capacity)) return Prediction::none();
    return Prediction::stream(expected.written, expected.result == dclComplete ? expected.end : 0, false);
}

Prediction PkwareUnpacker::decode() {
    if (!headerPossible()) return Prediction::none();
    const ScanState& scan = scan_;
    written_ = 0;
    handedOver_ = 0;
    std::uint32_t unread = 0;
    const DclResult result = dclExplode(readInput, this, writeOutput, this, &unread);
    if (!found(result, scan.sizes.bufferCapacity)) return Prediction::none();
    return Prediction::stream(written_, result == dclComplete ? scan.currentOffset + handedOver_ - unread : 0, true);
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

}  // namespace korvel
