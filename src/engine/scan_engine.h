// The scan: every chosen format tried at every offset of the input, results handed to a sink.
// Thread safety: runScan may be called from any thread, one scan at a time per process (it
// installs the process's SIGBUS handler for its duration).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/result_sink.h"
#include "core/format_descriptor.h"
#include "core/join_budget.h"
#include "core/size_rules.h"

namespace korvel {

struct ScanSettings {
    std::vector<const FormatDescriptor*> formats;  // tried at each offset, in this order
    SizeRules sizes;
    std::uint64_t startOffset = 0;
    std::uint32_t stopAfter = 0;  // the scan ends once this many streams were kept; 0: no limit
    unsigned jobs = 1;            // worker threads; the results never depend on it
    std::uint64_t chunkSize = 0;  // offsets per chunk handed to a worker; 0: chosen from the input
    // The parallel scan's budgets, which bound its memory: chunks each worker may have in flight
    // ahead of the one being committed, and the bytes of results copied to wait for the
    // committer. Past them workers wait (the worker of the chunk being committed commits its
    // finds itself instead of copying them, so the scan always moves).
    std::uint64_t chunksInFlightPerJob = 4;
    std::size_t copyBudget = std::size_t{64} << 20;
    // The memory the dry runs of every worker may take together for their landmarks; 0: as
    // JoinBudget::bytesFor the workers. Each dry run keeps at least its first 4096 landmarks
    // (some 500 KiB) whatever the count of workers.
    std::size_t joinBudget = 0;
    bool keepBytes = true;        // false: the sink needs sizes only, no stream is decoded for its bytes
    bool keepSurroundings = false;  // true: each result carries the input bytes around it
    bool dryRuns = true;          // false only to compare the LZO and UCL dry runs with their libraries
    // The input is a mapped file that may shrink under the scan: reads of it are guarded. An
    // input in memory (decoded bytes scanned again) needs no guard, and takes none: the guarded
    // range is the process's, and the scan of the mapping may still run meanwhile.
    bool inputMayShrink = true;
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

// Decodes single streams again on the calling thread, for a sink that held results back without
// their bytes and keeps the bytes of only a few. It tries the formats and size rules of the
// settings it was made with, with its own unpackers and output buffer. A read of an input that
// shrank ends the decode, not the process.
// Thread safety: one thread at a time; it may be called while runScan runs, from the threads
// that commit its results, one at a time.
class StreamDecoder {
public:
    StreamDecoder(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings);
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    enum class Outcome {
        Decoded,       // `bytes` holds the stream, valid until the next call
        NotFound,      // the format finds no stream there, or one of another size than `size`
        NoBuffer,      // the output buffer could not be allocated
        InputChanged,  // the input shrank: no later call decodes anything
    };
    // The bytes of the stream of `size` bytes that `format` finds at `offset`.
    Outcome decode(const FormatDescriptor& format, std::uint64_t offset, std::uint32_t size,
                   std::span<const std::uint8_t>& bytes);
    // Counts the input bytes of [begin, end) by value, under the same guard as the decodes:
    // Decoded when counted.
    Outcome countBytes(std::uint64_t begin, std::uint64_t end, std::array<std::uint64_t, 256>& counts);

private:
    class Implementation;
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace korvel
