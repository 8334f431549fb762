#include "formats/ucl/ucl_unpacker.h"

#include <ucl/ucl.h>

#include <algorithm>
#include <limits>

#include "formats/common/tuning.h"

namespace korvel {

// Given only shortAttempt bytes, an attempt that does not run out of them has its exact answer
// from the quick walk; one that does goes to the dry run, which joins walks from nearby offsets.
constexpr auto shortAttemptBytes = static_cast<std::uint32_t>(shortAttempt.bytes);

// Most offsets fail within the short attempt: their answer leaves at once, with nothing to carry.
Prediction UclUnpacker::predict() {
    const ScanState& scan = scan_;
    const std::uint8_t* source = scan.inputView + scan.currentOffset;
    const std::uint64_t rest = scan.inputSize - scan.currentOffset;
    const std::uint32_t capacity = scan.sizes.bufferCapacity;
    UclVerdict found;
    if (rest <= shortAttemptBytes) {
        lastWalkedFar_ = false;
        found = precheckUclStream(method_, source, static_cast<std::uint32_t>(rest), capacity, onesRuns_);
    } else {
        if (!lastWalkedFar_) {
            found = precheckUclStream(method_, source, shortAttemptBytes, capacity, onesRuns_);
            if (found.result != UCL_E_INPUT_OVERRUN) {
                // An end code right at the cut has more input after it: not consumed.
                if (found.result == UCL_E_OK) found.stream = found.produced != 0;
                return found.stream ? Prediction::stream(found.produced, scan.currentOffset + found.taken, false)
                                    : Prediction::none();
            }
        }
        found = dryRun_.run(scan.inputView, scan.inputSize, scan.currentOffset, capacity, onesRuns_);
        lastWalkedFar_ = dryRun_.walkedFar();
    }
    // The walk knows the decoder's answer and size; only a stream that will be written needs its
    // bytes, and so the library.
    return found.stream ? Prediction::stream(found.produced, scan.currentOffset + found.taken, false)
                        : Prediction::none();
}

std::uint64_t UclUnpacker::screen(const std::uint8_t* first) const {
    return screenUclOffsets(method_, first, screenBlock);
}

// The decoders may read one byte past the source and write one past the capacity; the scan
// state keeps a spare byte after both. The library does not tell where a stream ends.
Prediction UclUnpacker::decode() {
    const ScanState& scan = scan_;
    const std::uint8_t* source = scan.inputView + scan.currentOffset;
    // ucl_uint is 32-bit: past 4 GiB the decoder sees the first 4 GiB - 1 of the rest.
    const auto sourceLength = static_cast<ucl_uint>(
        std::min<std::uint64_t>(scan.inputSize - scan.currentOffset, std::numeric_limits<ucl_uint>::max()));
    const auto decoder = method_ == UclMethod::nrv2b ? ucl_nrv2b_decompress_safe_8 : ucl_nrv2d_decompress_safe_8;
    ucl_uint produced = scan.sizes.bufferCapacity;
    const int result = decoder(source, sourceLength, scan.outputBuffer, &produced, nullptr);
    const auto size = static_cast<std::uint32_t>(produced);
    return uclOutcomeIsStream({result, size}) ? Prediction::stream(size, 0, true) : Prediction::none();
}

}  // namespace korvel
