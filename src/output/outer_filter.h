// --outer: leaves out the streams found inside a stream already reported, so that each real
// stream is reported once and the spurious streams that its own bytes decode to are not.
//
// A stream is left out when it starts inside an earlier reported stream of the same format and
// either ends within it or decodes to no more bytes than it. The second half matters at the
// edges: a tiny spurious stream in a header that overlaps the start of a real stream must not
// hide it (the real one reads on past it and is larger), while a spurious stream that starts in
// a real stream's last bytes and reads a little past its end is still left out. The judging
// sink applies the rule to noise only: a stream judged real or plausible is never left out.
// Thread safety: called by the scan's committing threads, one at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <queue>
#include <vector>

#include "engine/result_sink.h"

namespace korvel {

// One format's reported streams. Offsets come in increasing order, so every reported stream
// starts at or before the one asked about, and one that ends at or before it never holds a
// later one either.
class NestingRule {
public:
    bool hides(const FoundStream& stream) {
        if (stream.end == 0) return false;  // a filled buffer: where it ends is not known
        // One reaching at least as far holds the stream whole.
        if (stream.end <= furthestEnd_) return true;
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

}  // namespace korvel
