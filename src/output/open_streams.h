// Reported streams that may still hold a later offset, for telling which stream another one lies
// inside. Thread safety: one per sink, used by one committing thread at a time.
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

namespace korvel {

class OpenStreams {
public:
    // The offset of the latest added stream whose [offset, end) holds `offset`, or null. Offsets
    // must be asked in increasing order: a stream that ends at or before one can never hold a
    // later one, so it is dropped for good once it is on top, and each stream is dropped once.
    const std::uint64_t* enclosing(std::uint64_t offset) {
        assert(offset >= lastAsked_ && "open streams are asked in increasing order");
        lastAsked_ = offset;
        while (!streams_.empty() && streams_.back().end <= offset) streams_.pop_back();
        return streams_.empty() ? nullptr : &streams_.back().offset;
    }
    // `end` 0 (not known) adds nothing.
    void add(std::uint64_t offset, std::uint64_t end) {
        if (end > offset) streams_.push_back({offset, end});
    }

private:
    struct Span {
        std::uint64_t offset, end;
    };
    std::vector<Span> streams_;
    std::uint64_t lastAsked_ = 0;
};

}  // namespace korvel
