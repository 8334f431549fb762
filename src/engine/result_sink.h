// Where the scan's results go: saved to files, listed, reported, judged, or collected by a test.
// Thread safety: the engine calls a sink from one thread at a time (the committer, or the worker
// that commits its own find), in offset order and, at one offset, in format order.
#pragma once

#include <cstdint>

#include "core/found_stream.h"

namespace korvel {

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

}  // namespace korvel
