// --outer: passes on a stream only if it does not lie wholly inside an earlier passed stream of
// the same format, so that each real stream is reported once and the spurious streams that its
// own bytes decode to are not. Wholly: a stream that starts inside another but reads on past its
// end is not part of it. So a tiny spurious stream in a header that overlaps the start of a real
// one never hides it. Thread safety: called from the scan's committing thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/result_sink.h"

class OuterFilter : public ResultSink {
public:
    explicit OuterFilter(ResultSink& next) : next_(next), furthestEnd_(formatTable().size(), 0) {}

    // A stream inside another is not passed on and does not count toward the stop limit.
    bool save(const FoundStream& stream) override {
        std::uint64_t& furthest = furthestEndOf(stream);
        // Every earlier stream starts at or before this one, so one that reaches at least as far
        // holds it whole.
        if (stream.end != 0 && stream.end <= furthest) return false;
        furthest = std::max(furthest, stream.end);  // reported even when it cannot be written
        return next_.save(stream);
    }
    // Where a filled buffer's stream ends is not known: it is always passed on.
    void exhausted(const FoundStream& stream) override { next_.exhausted(stream); }
    bool failed() const override { return next_.failed(); }

private:
    std::uint64_t& furthestEndOf(const FoundStream& stream) {
        return furthestEnd_[static_cast<std::size_t>(stream.format - formatTable().data())];
    }

    ResultSink& next_;
    std::vector<std::uint64_t> furthestEnd_;  // per format: the furthest end of a passed stream
};
