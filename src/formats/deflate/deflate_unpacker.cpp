#include "formats/deflate/deflate_unpacker.h"

#include <algorithm>

#include "formats/common/tuning.h"
#include "formats/deflate/deflate_decoder.h"

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
