#include "core/unpacker.h"

#include <cassert>

namespace korvel {

Unpacker::~Unpacker() = default;

std::uint64_t Unpacker::screen(const std::uint8_t*) const { return ~std::uint64_t{0}; }

bool Unpacker::settle(Prediction predicted) {
    ScanState& scan = scan_;
    scan.outputSize = predicted.produced;
    if (predicted.end != 0) scan.inputEnd = predicted.end;
    if (predicted.bytesInBuffer || !scan.bytesWanted(predicted.produced)) return true;
    const Prediction decoded = decode();
    assert(decoded.found && decoded.produced == predicted.produced && "the dry run answers as the decoder");
    scan.outputSize = decoded.produced;
    return decoded.found;
}

bool Unpacker::tryDecoderAlone() {
    const Prediction decoded = decode();
    if (!decoded.found) return false;
    scan_.outputSize = decoded.produced;
    if (decoded.end != 0) scan_.inputEnd = decoded.end;
    return true;
}

}  // namespace korvel
