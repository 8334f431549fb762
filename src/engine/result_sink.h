// Where the scan's results go: saved to files, listed, reported, or collected by a test.
// Thread safety: the engine calls a sink from one thread at a time (its committer), in offset
// order and, at one offset, in format order.
#pragma once

#include <cstdint>
#include <span>

#include "formats/format_table.h"

struct FoundStream {
    const FormatDescriptor* format;
    std::uint64_t offset;
    std::uint32_t size;                   // decoded bytes
    std::uint64_t end;                    // one past its last input byte; 0 when not known
    std::span<const std::uint8_t> bytes;  // for save(): the decoded bytes, unless the run keeps none
};

class ResultSink {
public:
    virtual ~ResultSink() = default;
    // A stream the size rules keep. True when it was kept (written, or listed): it then counts
    // toward the stop limit. False when it could not be written.
    virtual bool save(const FoundStream& stream) = 0;
    // A stream that filled the whole output buffer: too large to save.
    virtual void exhausted(const FoundStream& stream) = 0;
    // True once the sink can take nothing more (its messages can no longer be written): the
    // scan then ends.
    virtual bool failed() const { return false; }
};
