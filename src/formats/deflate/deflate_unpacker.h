// Finds raw deflate streams.
#pragma once

#include "formats/deflate/deflate_dry_run.h"
#include "core/unpacker.h"

namespace korvel {

class DeflateUnpacker final : public Unpacker {
public:
    explicit DeflateUnpacker(ScanState& scan) : Unpacker(scan), dryRun_(scan.joinBudget) {}

private:
    Prediction predict() override;
    Prediction decode() override;  // rawInflate over the whole rest of the input
    std::uint64_t screen(const std::uint8_t* first) const override;  // the first block's header

    DeflateDryRun dryRun_;      // for attempts that walk far; this worker's own
    bool lastWalkedFar_ = false;  // the previous attempt did: the next one likely does too
    // Where the last attempt that walked far started, plus one (0: none yet): near one, a walk
    // may start on its path.
    std::uint64_t lastFarStart_ = 0;
};

}  // namespace korvel
