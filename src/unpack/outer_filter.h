// --outer: leaves out the streams found inside a stream already reported, so that each real
// stream is reported once and the spurious streams that its own bytes decode to are not.
//
// A stream is left out when it starts inside an earlier reported stream of the same format and
// either ends within it or decodes to no more bytes than it. The second half matters at the
// edges: a tiny spurious stream in a header that overlaps the start of a real stream must not
// hide it (the real one reads on past it and is larger), while a spurious stream that starts in
// a real stream's last bytes and reads a little past its end is still left out.
// Thread safety: called from the scan's committing thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <queue>
#include <vector>

#include "engine/result_sink.h"

class OuterFilter : public ResultSink {
public:
    explicit OuterFilter(ResultSink& next) : next_(next), reported_(formatTable().size()) {}

    // A stream left out is not passed on and does not count toward the stop limit.
    bool save(const FoundStream& stream) override {
        Reported& reported = reported_[static_cast<std::size_t>(stream.format - formatTable().data())];
        if (reported.hides(stream)) return false;
        reported.add(stream);  // reported even when it cannot be written
        return next_.save(stream);
    }
    // Where a filled buffer's stream ends is not known, and it is larger than any saved one: it
    // is always passed on.
    void exhausted(const FoundStream& stream) override { next_.exhausted(stream); }
    bool failed() const override { return next_.failed(); }

private:
    // One format's reported streams. Offsets come in increasing order, so every reported stream
    // starts at or before the one asked about, and one that ends at or before it never holds a
    // later one either.
    class Reported {
    public:
        bool hides(const FoundStream& stream) {
            // One reaching at least as far holds the stream whole.
            if (stream.end != 0 && stream.end <= furthestEnd_) return true;
            while (!largest_.empty() && largest_.top().end <= stream.offset) largest_.pop();
            return !largest_.empty() && largest_.top().size >= stream.size;
        }
        void add(const FoundStream& stream) {
            if (stream.end == 0) return;
            furthestEnd_ = std::max(furthestEnd_, stream.end);
            largest_.push({stream.size, stream.end});
        }

    private:
        struct Span {
            std::uint32_t size;
            std::uint64_t end;
            bool operator<(const Span& other) const { return size < other.size; }
        };
        std::uint64_t furthestEnd_ = 0;
        std::priority_queue<Span> largest_;  // by size; entries that have ended are dropped lazily
    };

    ResultSink& next_;
    std::vector<Reported> reported_;  // one per format
};
