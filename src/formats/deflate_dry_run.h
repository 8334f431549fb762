// A dry run of rawInflate for attempts that walk far: the same items, checks and results,
// with no output, and with walks from nearby offsets joined so that a run of one byte value or
// a chain of tiny blocks costs about as much as ordinary data.
//
// Walks join at landmarks (landmark_memo.h). A state here is a bit position, plus whether it is
// at a block header or inside a block, and inside a block its final flag and its code (fixed,
// or the position of its dynamic header). The distance check comes before the room check.
//
// Thread safety: one dry run per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/landmark_memo.h"

struct InflateOutcome {
    InflateResult result = inflateInputEnded;
    std::uint32_t produced = 0;  // for inflateComplete and the format errors
    std::uint64_t taken = 0;     // bytes from the start the stream was read from, for inflateComplete
    bool walkedFar = false;      // the walk joined another's path or read past its first 64 bytes
};

class DeflateDryRun {
public:
    DeflateDryRun();
    ~DeflateDryRun();
    DeflateDryRun(const DeflateDryRun&) = delete;
    DeflateDryRun& operator=(const DeflateDryRun&) = delete;

    // rawInflate's result on input[offset, size) with `capacity` bytes of room, and for a
    // complete stream its size and the bytes it was read from. What is kept about an input is
    // dropped when another address or size is given; forget() drops it too, for new bytes at
    // the same address.
    InflateOutcome run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity);
    void forget();
    // Whether the walk from `offset` starts at a dynamic block header that an earlier walk
    // passed: it then hops at once, where rawInflate would read the header.
    bool joinsAtStart(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset) const {
        return input == input_ && size == size_ && (input[offset] & 6) == 4 && landmarks_.knowsPinned({offset * 8, 0});
    }

    struct State {
        std::uint64_t position;  // bit position in the input
        std::uint64_t context;   // header, or block: final flag and code; see deflate_dry_run.cpp
        std::uint64_t key() const { return position * 0x9E3779B97F4A7C15u ^ context; }
        bool operator==(const State&) const = default;
    };

private:
    struct Tables;
    class Walk;

    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    LandmarkMemo<State> landmarks_;
    std::unique_ptr<Tables> tables_;  // the dynamic codes read last

    // The states the last walk that joined stepped through before it did, each with what its
    // steps from there to where its first hops landed ask: a walk that starts at one of them
    // (in a chain of tiny blocks, most do) lands there at once, instead of stepping some 16
    // times to its first landmark and looking it up.
    struct Traced {
        State state;
        Stretch toLanding;
    };
    static constexpr std::size_t traceLimit = 64;
    std::vector<Traced> trace_, tracing_;  // the last trace, and the one being made
    std::size_t traceLength_ = 0;
    State traceLanding_{};
    bool startFromTrace(State& state, std::int64_t& produced, std::uint32_t capacity) const;
    void keepTrace(std::size_t length, const State& landing, const Stretch& hop);
};
