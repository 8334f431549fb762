// LZO1X streams, decoded by the LZO 2 library.
#pragma once

#include "formats/lzo/lzo_precheck.h"
#include "core/unpacker.h"

namespace korvel {

class LzoUnpacker final : public Unpacker {
public:
    explicit LzoUnpacker(ScanState& scan)
        : Unpacker(scan), precheck_(LandmarkMemo<LzoPrecheck::Place>::defaultBudget, scan.joinBudget) {}

private:
    Prediction predict() override;
    Prediction decode() override;
    std::uint64_t screen(const std::uint8_t* first) const override { return screenLzoOffsets(first, screenBlock); }

    LzoPrecheck precheck_;  // landmarks and zero runs of this worker's input
};

}  // namespace korvel
