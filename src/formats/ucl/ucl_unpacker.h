// UCL NRV2B and NRV2D streams, decoded by the UCL library.
#pragma once

#include "formats/ucl/ucl_precheck.h"
#include "core/unpacker.h"

namespace korvel {

// The two formats differ only in their decoder; each unpacker keeps its own dry run.
class UclUnpacker : public Unpacker {
public:
    UclUnpacker(ScanState& scan, UclMethod method)
        : Unpacker(scan), method_(method), dryRun_(method, scan.joinBudget) {}

private:
    Prediction predict() override;
    Prediction decode() override;
    std::uint64_t screen(const std::uint8_t* first) const override;

    UclMethod method_;
    UclDryRun dryRun_;          // for attempts that walk far
    OnesRunIndex onesRuns_;     // runs of 0xff over this worker's input
    bool lastWalkedFar_ = false;  // the previous attempt did: the next one likely does too
};

class Ucl2bUnpacker final : public UclUnpacker {
public:
    explicit Ucl2bUnpacker(ScanState& scan) : UclUnpacker(scan, UclMethod::nrv2b) {}
};

class Ucl2dUnpacker final : public UclUnpacker {
public:
    explicit Ucl2dUnpacker(ScanState& scan) : UclUnpacker(scan, UclMethod::nrv2d) {}
};

}  // namespace korvel
