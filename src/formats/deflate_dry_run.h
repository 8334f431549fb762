// A dry run of rawInflate for attempts that walk far: the same items, checks and results,
// with no output, and with walks from nearby offsets joined so that a run of one byte value or
// a chain of tiny blocks costs about as much as ordinary data.
//
// Why joins are exact. At the start of an item (a block header, or a symbol inside a block) the
// rest of a walk depends only on the walk's state there: the bit position, whether it is at a
// header or inside a block, the block's final flag and its code (fixed, or the position of its
// dynamic header). Only two checks look at the bytes produced so far: a match's distance must
// not reach before the first byte (-11), and every item must fit in the capacity (1). So a walk
// that reaches a state some earlier walk passed through follows that walk's path from there,
// and its outcome is the first step where one of those two checks fails for its own produced
// count, or else the path's end.
//
// The paths. A long walk records its steps: state, the bytes it had produced before the step,
// and a match's distance. With R(i) its produced count before step i, a walk that joins at step
// j with c bytes produced has c + R(i) - R(j) before step i, so step i fails the distance check
// when distance(i) - R(i) > c - R(j), and the capacity check when R(i + 1) > capacity - c + R(j).
// The first is a first-above query on distance(i) - R(i), answered with maxima over blocks of 64
// and 4096 steps; the second is a binary search, since R only grows. A path ends where its walk
// ended: at a final block, a format error or the end of the input (the same for every walk
// that follows it), or open, where the walk that made it failed a check of its own or joined
// another path; a walk that gets past an open end walks on from there.
//
// Thread safety: one dry run per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/deflate_decoder.h"

struct InflateOutcome {
    InflateResult result = inflateInputEnded;
    std::uint32_t produced = 0;  // for inflateComplete and the format errors
    std::uint64_t taken = 0;     // bytes from the start the stream was read from, for inflateComplete
    bool walkedFar = false;      // the walk joined a kept path or read past its first 64 bytes
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

    struct State {
        std::uint64_t position;  // bit position in the input
        std::uint64_t context;   // header, or block: final flag and code; see deflate_dry_run.cpp
        bool operator==(const State&) const = default;
    };

private:
    struct Path;
    struct Tables;
    class Walk;

    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    std::vector<std::unique_ptr<Path>> paths_;  // kept paths, the most recently used last
    std::unique_ptr<Tables> tables_;            // the last dynamic code read, read again when another is needed
};
