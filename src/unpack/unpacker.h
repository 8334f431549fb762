// The unpacker base class and the state every unpacker shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unpack/zero_runs.h"

// The mapped input and the output buffer, shared by all unpackers for the whole run.
struct ScanState {
    int fileHandle = -1;                // open input file; -1 while the input is closed
    void* mappingHandle = nullptr;      // reserved region: the file view plus its spare byte
    std::size_t mappingLength = 0;
    const std::uint8_t* inputView = nullptr;  // first input byte; one readable spare byte follows the last
    std::uint64_t inputSize = 0;
    std::uint8_t* outputBuffer = nullptr;     // bufferCapacity bytes plus one spare, zero-filled
    std::uint32_t outputSize = 0;
    std::uint64_t currentOffset = 0;    // written only by the scan driver
    ZeroRunIndex zeroRuns;              // over inputView; reset with the state
    OnesRunIndex onesRuns;              // runs of 0xff, likewise
};

inline constexpr std::uint32_t defaultBufferCapacity = 0x10000000;  // 256 MiB

// Values set from the command line before the input is opened.
struct RunOptions {
    std::string outPrefix;
    std::uint32_t bufferCapacity = defaultBufferCapacity;
    std::uint32_t skipSize = 0;
    std::uint64_t startOffset = 0;
    std::int32_t stopCount = 0;
    bool stopEnabled = false;
};

class Unpacker {
public:
    explicit Unpacker(const char* displayName);
    virtual ~Unpacker();
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Decodes a stream starting at scanState.currentOffset into the start of outputBuffer.
    // True when found; outputSize then holds the decoded size (>= bufferCapacity: exhausted).
    virtual bool tryUnpack() = 0;

    bool openInput(const char* fileName);
    bool closeInput();
    // Applies the size rules, writes the file and prints its line. True when a file was written.
    bool saveResult();
    // Whether saveResult would write a stream of `size` bytes: larger than skipSize and smaller
    // than the buffer. Decoders that know a size in advance skip producing bytes nobody keeps.
    static bool sizeIsSaved(std::uint32_t size) {
        return size > runOptions.skipSize && size < runOptions.bufferCapacity;
    }

    const char* displayName() const { return name; }

    static ScanState scanState;
    static RunOptions runOptions;
    // Set once a save failed; the run then ends with status 1.
    static bool writeFailed;

private:
    char name[64];
};
