// Unpacker for PKWare Data Compression Library streams.
#pragma once

#include <cstdint>

#include "formats/pkware/pkware_dry_run.h"
#include "core/unpacker.h"

namespace korvel {

class PkwareUnpacker final : public Unpacker {
public:
    explicit PkwareUnpacker(ScanState& scan)
        : Unpacker(scan), dryRun_(LandmarkMemo<DclDryRun::Place>::defaultBudget, scan.joinBudget) {}

    // Decoder callbacks for the attempt in progress; the context is the unpacker. readInput
    // hands the rest of the input over in blocks of at most 0xFFFFFFFF bytes, then reports the
    // end; writeOutput stops at the buffer's capacity and then asks to stop.
    static std::uint32_t readInput(void* context, const std::uint8_t** next);
    static int writeOutput(void* context, const std::uint8_t* bytes, std::uint32_t count);

private:
    // Found for a complete stream and for one that filled the output buffer (nonzero capacity).
    Prediction predict() override;
    Prediction decode() override;
    std::uint64_t screen(const std::uint8_t* first) const override;  // the header checks
    bool headerPossible() const;
    static bool headerPossibleAt(const std::uint8_t* start, std::uint64_t rest);
    static bool found(DclResult result, std::uint32_t capacity);

    DclDryRun dryRun_;              // landmarks of this worker's input
    std::uint32_t written_ = 0;     // decoded bytes copied into the output buffer in this attempt
    std::uint64_t handedOver_ = 0;  // input bytes from currentOffset handed to the decoder
};

}  // namespace korvel
