#include "formats/deflate/deflate_unpacker.h"

#include <algorithm>

#include "formats/deflate/deflate_decoder.h"

namespace {

// Nearly every attempt ends within a few bytes, and rawInflate answers those fastest. Given only
// this much input and its first few blocks, an attempt that ends there has its exact answer;
// one that does not (it runs out of input, or on past those blocks, as in a chain of tiny
// blocks) goes to the dry run, which joins walks from nearby offsets.
constexpr std::uint64_t shortAttempt = 64;

}  // namespace

bool DeflateUnpacker::decode() {
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

bool DeflateUnpacker::tryUnpack() {
    ScanState& scan = scan_;
    const std::uint64_t rest = scan.inputSize - scan.currentOffset;
    if (!scan.dryRuns || rest <= shortAttempt) return decode();
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    // Only near a walk that went far is it worth asking whether this one starts on a known path.
    const bool nearFarWalk = lastFarStart_ != 0 && scan.currentOffset + 1 - lastFarStart_ <= shortAttempt;
    if (!lastWalkedFar_ && !(nearFarWalk && dryRun_.joinsAtStart(scan.inputView, scan.inputSize, scan.currentOffset))) {
        scan.outputSize = capacity;
        std::uint64_t sourceLength = shortAttempt;
        const InflateResult result = rawInflateFewBlocks(scan.outputBuffer, &scan.outputSize,
                                                          scan.inputView + scan.currentOffset, &sourceLength);
        if (result != inflateInputEnded) {
            if (result == inflateComplete) {
                scan.inputEnd = scan.currentOffset + sourceLength;
                return true;
            }
            if (result == inflateOutputFull) return scan.outputSize != 0;
            return false;
        }
    }
    const InflateOutcome outcome = dryRun_.run(scan.inputView, scan.inputSize, scan.currentOffset, capacity);
    lastWalkedFar_ = outcome.walkedFar;
    if (outcome.walkedFar) lastFarStart_ = scan.currentOffset + 1;
    switch (outcome.result) {
        case inflateComplete:
            scan.outputSize = outcome.produced;
            scan.inputEnd = scan.currentOffset + outcome.taken;
            // Only a stream that will be saved needs its bytes.
            if (scan.bytesWanted(outcome.produced)) return decode();
            return true;
        case inflateOutputFull:
            scan.outputSize = capacity;
            return capacity != 0;
        default:
            return false;
    }
}
