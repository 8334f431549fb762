#include "formats/deflate/deflate_unpacker.h"

#include <algorithm>
#include <array>

#include "formats/common/lsb_bits.h"
#include "formats/common/tuning.h"
#include "formats/deflate/deflate_decoder.h"
#include "formats/deflate/deflate_reading.h"
#include "formats/deflate/deflate_tables.h"

namespace korvel {

// Given only shortAttempt bytes and its first few blocks, an attempt that ends there has its
// exact answer from rawInflate; one that does not (it runs out of input, or on past those blocks,
// as in a chain of tiny blocks) goes to the dry run, which joins walks from nearby offsets.
constexpr std::uint64_t shortAttemptBytes = shortAttempt.bytes;

// A full destination leaves the produced count at the capacity, which the size rules read as
// an exhausted buffer; with a capacity of 0 nothing was produced, so nothing was found.
Prediction DeflateUnpacker::decode() {
    const ScanState& scan = scan_;
    std::uint32_t produced = scan.sizes.bufferCapacity;
    std::uint64_t sourceLength = scan.inputSize - scan.currentOffset;
    const InflateResult result =
        rawInflate(scan.outputBuffer, &produced, scan.inputView + scan.currentOffset, &sourceLength);
    if (result == inflateComplete) return Prediction::stream(produced, scan.currentOffset + sourceLength, true);
    if (result == inflateOutputFull) return produced != 0 ? Prediction::stream(produced, 0, true) : Prediction::none();
    return Prediction::none();
}

namespace {

// Seven bits as they lie in the stream, read as a fixed block's first code: whether it starts
// a length (257 to 279, or 280 to 287 by its first seven bits), which fails there, as the
// match would reach before the first byte produced (or is no symbol).
constexpr auto fixedFirstCodeFails = [] {
    std::array<bool, 128> fails{};
    for (unsigned bits = 0; bits < 128; ++bits) {
        unsigned code = 0;  // Huffman codes are sent high bit first
        for (unsigned i = 0; i < 7; ++i) code = code << 1 | (bits >> i & 1);
        fails[bits] = (code >= 1 && code <= 23) || (code >= 96 && code <= 99);
    }
    return fails;
}();

// Whether the first block's header, at `at`, passes the decoder's first checks: a block type
// other than 3; a stored length that matches its complement; a fixed block that does not start
// with a match; a dynamic header whose counts are in range and whose code-length code is
// complete or empty.
bool firstBlockPossible(const std::uint8_t* at) {
    using namespace deflate_tables;
    const std::uint64_t bits = loadLittleEndian64(at);
    switch (bits >> 1 & 3) {
        case 0:
            return readStoredLength(at + 1, 4).result == inflateComplete;  // from the next byte
        case 1:
            return !fixedFirstCodeFails[bits >> 3 & 127];
        case 2: {
            const int literalCount = static_cast<int>(bits >> 3 & 31) + 257;
            const int distanceCount = static_cast<int>(bits >> 8 & 31) + 1;
            const unsigned lengthBits = 3 * (static_cast<unsigned>(bits >> 13 & 15) + 4);
            if (literalCount > maxLiteralLengths || distanceCount > maxDistanceLengths) return false;
            // The code lengths start at bit 17.
            return codeLengthCodeUsable(loadLittleEndian64(at + 2) >> 1 & ((std::uint64_t{1} << lengthBits) - 1));
        }
        default:
            return false;
    }
}

}  // namespace

std::uint64_t DeflateUnpacker::screen(const std::uint8_t* first) const {
    std::uint64_t possible = 0;
    for (unsigned i = 0; i < screenBlock; ++i) possible |= std::uint64_t{firstBlockPossible(first + i)} << i;
    return possible;
}

Prediction DeflateUnpacker::predict() {
    const ScanState& scan = scan_;
    const std::uint64_t rest = scan.inputSize - scan.currentOffset;
    if (rest <= shortAttemptBytes) return decode();
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    // Only near a walk that went far is it worth asking whether this one starts on a known path.
    const bool nearFarWalk = lastFarStart_ != 0 && scan.currentOffset + 1 - lastFarStart_ <= shortAttemptBytes;
    if (!lastWalkedFar_ && !(nearFarWalk && dryRun_.joinsAtStart(scan.inputView, scan.inputSize, scan.currentOffset))) {
        std::uint32_t produced = capacity;
        std::uint64_t sourceLength = shortAttemptBytes;
        const InflateResult result =
            rawInflateFewBlocks(scan.outputBuffer, &produced, scan.inputView + scan.currentOffset, &sourceLength);
        if (result == inflateComplete) return Prediction::stream(produced, scan.currentOffset + sourceLength, true);
        if (result == inflateOutputFull) return produced != 0 ? Prediction::stream(produced, 0, true) : Prediction::none();
        if (result != inflateInputEnded) return Prediction::none();
    }
    const InflateOutcome outcome = dryRun_.run(scan.inputView, scan.inputSize, scan.currentOffset, capacity);
    lastWalkedFar_ = outcome.walkedFar;
    if (outcome.walkedFar) lastFarStart_ = scan.currentOffset + 1;
    if (outcome.result == inflateComplete) return Prediction::stream(outcome.produced, scan.currentOffset + outcome.taken, false);
    if (outcome.result == inflateOutputFull) return capacity != 0 ? Prediction::stream(capacity, 0, false) : Prediction::none();
    return Prediction::none();
}

}  // namespace korvel
