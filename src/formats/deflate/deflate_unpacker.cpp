#include "formats/deflate/deflate_unpacker.h"

#include <algorithm>
#include <array>
#include <bit>

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

// Whether a dynamic first block's header, at `at`, passes the decoder's first checks: counts in
// range and a complete code-length code. An empty one passes them too, but fails at the first
// length it decodes (there is always one to decode); zeros, common in machine code and data,
// make such headers.
bool dynamicHeaderPossible(const std::uint8_t* at) {
    using namespace deflate_tables;
    const std::uint64_t bits = loadLittleEndian64(at);
    const int literalCount = static_cast<int>(bits >> 3 & 31) + 257;
    const int distanceCount = static_cast<int>(bits >> 8 & 31) + 1;
    const unsigned lengthBits = 3 * (static_cast<unsigned>(bits >> 13 & 15) + 4);
    if (literalCount > maxLiteralLengths || distanceCount > maxDistanceLengths) return false;
    // The code lengths start at bit 17.
    return codeLengthKraft(loadLittleEndian64(at + 2) >> 1 & ((std::uint64_t{1} << lengthBits) - 1)) == 128;
}

}  // namespace

// A first block may start at an offset when its type is not 3; a stored length matches its
// complement; a fixed block does not start with a match; a dynamic header passes its first
// checks. The cheap checks are made at every offset and kept by type, without a branch: on
// random bytes the type is a guess at every offset. Only dynamic headers are looked at one by one.
std::uint64_t DeflateUnpacker::screen(const std::uint8_t* first) const {
    std::uint64_t possible = 0;
    std::uint64_t dynamic = 0;
    for (unsigned i = 0; i < screenBlock; ++i) {
        const std::uint8_t* at = first + i;
        const unsigned type = at[0] >> 1 & 3;
        // The stored length and its complement start at the next byte.
        const bool storedPasses = (at[1] ^ at[3]) == 0xFF && (at[2] ^ at[4]) == 0xFF;
        const bool fixedPasses = !fixedFirstCodeFails[(at[0] | unsigned{at[1]} << 8) >> 3 & 127];
        const bool passes = ((type == 0) & storedPasses) | ((type == 1) & fixedPasses);
        possible |= std::uint64_t{passes} << i;
        dynamic |= std::uint64_t{type == 2} << i;
    }
    for (; dynamic != 0; dynamic &= dynamic - 1) {
        const auto i = static_cast<unsigned>(std::countr_zero(dynamic));
        possible |= std::uint64_t{dynamicHeaderPossible(first + i)} << i;
    }
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
