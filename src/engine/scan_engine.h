// The scan: every chosen format tried at every offset of the input, results handed to a sink.
// Thread safety: runScan may be called from any thread, one scan at a time per process (it
// installs the process's SIGBUS handler for its duration).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/result_sink.h"
#include "formats/format_table.h"
#include "unpack/size_rules.h"

struct ScanSettings {
    std::vector<const FormatDescriptor*> formats;  // tried at each offset, in this order
    SizeRules sizes;
    std::uint64_t startOffset = 0;
    std::uint32_t stopAfter = 0;  // the scan ends once this many streams were kept; 0: no limit
    unsigned jobs = 1;            // worker threads; the results never depend on it
    std::uint64_t chunkSize = 0;  // offsets per chunk handed to a worker; 0: chosen from the input
    bool keepBytes = true;        // false: the sink needs sizes only, no stream is decoded for its bytes
    bool dryRuns = true;          // false only to compare the LZO and UCL dry runs with their libraries
    // When set, the offset below which every result has been handed to the sink, for progress
    // reports from another thread.
    std::atomic<std::uint64_t>* committedOffset = nullptr;
};

struct ScanOutcome {
    enum class Status {
        Finished,      // reached the end of the input
        Stopped,       // reached the stop limit
        InputChanged,  // the input file shrank under the scan; failedOffset tells where
        NoBuffer,      // the output buffer could not be allocated; nothing was scanned
        SinkFailed,    // the sink reported that it can take nothing more
    };
    Status status = Status::Finished;
    std::uint64_t failedOffset = 0;
};

// Scans input[startOffset, size). `input` must have one readable byte after its last.
ScanOutcome runScan(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings, ResultSink& sink);
