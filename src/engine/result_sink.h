// Where the scan's results go: saved to files, listed, reported, judged, or collected by a test.
// Thread safety: the engine calls a sink from one thread at a time (its committer), in offset
// order and, at one offset, in format order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/format_table.h"

// The input bytes just before a stream's start and just after its end, copied by the worker
// that found it when the scan keeps them: a sink that weighs evidence reads them here, never in
// the mapping, which may shrink under the scan.
struct StreamSurroundings {
    static constexpr std::size_t beforeCapacity = 128;
    static constexpr std::size_t afterCapacity = 64;
    std::array<std::uint8_t, beforeCapacity> before{};  // before[0, beforeCount): the bytes up to the start
    std::array<std::uint8_t, afterCapacity> after{};    // after[0, afterCount): the bytes from the end on
    std::uint8_t beforeCount = 0;  // fewer than the capacity near the input's first byte
    std::uint8_t afterCount = 0;   // fewer near its last; 0 when the end is not known

    std::span<const std::uint8_t> bytesBefore() const { return {before.data(), beforeCount}; }
    std::span<const std::uint8_t> bytesAfter() const { return {after.data(), afterCount}; }
};

struct Judgement;  // what a judging sink concluded of a stream (unpack/verdicts.h)

struct FoundStream {
    const FormatDescriptor* format;
    std::uint64_t offset;
    std::uint32_t size;                   // decoded bytes
    std::uint64_t end;                    // one past its last input byte; 0 when not known
    std::span<const std::uint8_t> bytes;  // for save(): the decoded bytes, unless the run keeps none
    StreamSurroundings surroundings = {};  // filled only when the scan keeps them
    const Judgement* judgement = nullptr;  // set by a judging sink for the sinks after it
};

class ResultSink {
public:
    virtual ~ResultSink() = default;
    // A stream the size rules keep. True when it was kept (written, or listed): it then counts
    // toward the stop limit. False when it could not be written, or was left out.
    virtual bool save(const FoundStream& stream) = 0;
    // A stream that filled the whole output buffer: too large to save.
    virtual void exhausted(const FoundStream& stream) = 0;
    // Every result below `offset` has been handed over. Sinks that hold results back until they
    // know more (a stream's family is known once the scan has passed its end) act on it.
    virtual void passed(std::uint64_t /*offset*/) {}
    // True once the sink can take nothing more (its messages can no longer be written): the
    // scan then ends.
    virtual bool failed() const { return false; }
    // True once the sink has kept all it was asked to (a stop limit it applies itself): the
    // scan then ends.
    virtual bool stopped() const { return false; }
};
