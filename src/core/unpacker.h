// The unpacker base class and the state one worker's attempts work on.
// Thread safety: an unpacker and the ScanState it was made with belong to one worker thread;
// only the input bytes are shared, read-only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/size_rules.h"

struct ScanState {
    const std::uint8_t* inputView = nullptr;  // first input byte; one readable spare byte follows the last
    std::uint64_t inputSize = 0;
    std::uint8_t* outputBuffer = nullptr;     // sizes.bufferCapacity bytes plus one spare
    std::uint32_t outputSize = 0;
    std::uint64_t currentOffset = 0;          // the attempt's start; set by the scan loop
    // After a find: one past the last input byte the stream was decoded from. Set by the
    // unpackers for complete streams while the dry runs are on; the scan loop puts it back to 0
    // (not known) after each find.
    std::uint64_t inputEnd = 0;
    SizeRules sizes;
    bool keepBytes = true;  // false when no stream's bytes are needed (listing): sizes suffice
    bool dryRuns = true;    // the dry runs work out the decoders' answers first; off only to compare

    // Whether the bytes of a stream of `size` are needed: it will be saved. Decoders that know a
    // size in advance skip producing bytes nobody keeps.
    bool bytesWanted(std::uint32_t size) const {
        return keepBytes && sizes.classify(size) == SizeRules::Verdict::Kept;
    }
};

// Aligned so that unpackers of different workers, made one after another, never share a cache
// line: they update their counters at every offset.
class alignas(128) Unpacker {
public:
    explicit Unpacker(ScanState& scan) : scan_(scan) {}
    virtual ~Unpacker();
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Decodes a stream starting at currentOffset. True when found: outputSize then holds the
    // decoded size (at or above the capacity: the buffer was exhausted), and the bytes are at
    // the start of outputBuffer if bytesWanted(outputSize).
    virtual bool tryUnpack() = 0;

protected:
    ScanState& scan_;
};
