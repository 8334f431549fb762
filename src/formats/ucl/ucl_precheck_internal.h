// The NRV2 walk that keeps the decoders' failure codes, for the tests and fuzz targets that hold
// it to the library code for code; the scan asks for verdicts only (ucl_precheck.h).
// Thread safety: reentrant; the run index passed in belongs to the caller's thread.
#pragma once

#include <cstdint>

#include "formats/ucl/ucl_precheck.h"

namespace korvel {

// The decoder's own outcome for `source` (`sourceLength` bytes, source[sourceLength] readable)
// into `capacity` bytes, failure code included. `onesRuns` as for precheckUclStream; without it,
// each call measures its own runs.
UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity, OnesRunIndex& onesRuns);
UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity);

// precheckUclStream with a run index of its own.
UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity);

}  // namespace korvel
