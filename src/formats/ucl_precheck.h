// The outcome of UCL's safe 8-bit NRV2B and NRV2D decoders, found without decoding.
// Thread safety: reentrant; the run index passed in belongs to the caller's thread.
//
// The decoders never read their output: which codes they take, where they stop and how much
// they report depends on the input bytes and the capacity alone. So the walk below follows
// the stream code by code with the decoders' own bit reading, bound checks, failure order and
// end code, keeping only counts. A match costs O(1) whatever its length, which matters because
// ordinary data at most offsets "decodes" into huge spurious matches before failing.
#pragma once

#include <cstdint>

#include "unpack/zero_runs.h"

enum class UclMethod { nrv2b, nrv2d };

struct UclOutcome {
    int result = 0;              // the UCL_E_* code the decoder returns
    std::uint32_t produced = 0;  // what it stores in *dst_len
    std::uint32_t taken = 0;     // input bytes read; for a stream, where it ends
};

// What ucl_nrv2b_decompress_safe_8 / ucl_nrv2d_decompress_safe_8 would return for `source`
// (`sourceLength` bytes) into an output of `capacity` bytes. Exact for every input, including
// 32-bit wrap-around of the decoders' counters.
//
// Like the decoders, it fetches a control byte before checking the input bound, so
// source[sourceLength] must be readable (its value decides which failure is reported).
//
// Runs of 0xff are all literals and are measured with `onesRuns`, which must index the bytes
// from `source` on (the scan's index over the whole input does); without it, each call measures
// its own runs.
UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity, OnesRunIndex& onesRuns);
UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity);

// The scan's rule: a clean end, or an end code followed by more input after some output.
bool uclOutcomeIsStream(const UclOutcome& outcome);

struct UclVerdict {
    bool stream = false;         // uclOutcomeIsStream of the decoder's outcome
    std::uint32_t produced = 0;  // the decoder's output length
    std::uint32_t taken = 0;     // input bytes read; for a stream, where it ends
};

// The same answer as walkUclStream, but quicker where most offsets of ordinary data fail at
// once; the failure code is not kept. Same requirements on source[sourceLength] and `onesRuns`.
UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity, OnesRunIndex& onesRuns);
UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity);
