// A dry run of rawInflate for attempts that walk far: the same items, checks and results,
// with no output, and with walks from nearby offsets joined so that a run of one byte value or
// a chain of tiny blocks costs about as much as ordinary data.
//
// Walks join at landmarks (landmark_memo.h), and most land at once from the entries that
// earlier walks noted for the places where later ones start (see Entry below). A state here is
// a bit position, plus whether it is at a block header or inside a block, and inside a block its
// final flag and its code (fixed, or the position of its dynamic header). The distance check
// comes before the room check.
//
// Thread safety: one dry run per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/byte_runs.h"
#include "formats/deflate/deflate_decoder.h"
#include "formats/common/landmark_memo.h"

namespace korvel {

struct InflateOutcome {
    InflateResult result = inflateInputEnded;
    std::uint32_t produced = 0;  // for inflateComplete and the format errors
    std::uint64_t taken = 0;     // bytes from the start the stream was read from, for inflateComplete
    bool walkedFar = false;      // the walk joined another's path or read past a short attempt
};

class DeflateDryRun {
public:
    explicit DeflateDryRun(JoinBudget* shared = nullptr);
    ~DeflateDryRun();
    DeflateDryRun(const DeflateDryRun&) = delete;
    DeflateDryRun& operator=(const DeflateDryRun&) = delete;

    // rawInflate's result on input[offset, size) with `capacity` bytes of room, and for a
    // complete stream its size and the bytes it was read from. What is kept about an input is
    // dropped when another address or size is given; forget() drops it too, for new bytes at
    // the same address.
    InflateOutcome run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity);
    void forget();
    // Whether the walk from `offset` starts where an earlier walk passed: it then lands at
    // once, where rawInflate would read the blocks (in a chain of dynamic blocks, their headers).
    bool joinsAtStart(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset) const;

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

    // Where walks from the offsets just ahead will land. A walk that steps notes, for each state
    // it passes that a walk from a byte starts at (or reaches after a fixed block's header),
    // where it landed (by hops, or where it ended) and what its steps from there ask. A later
    // walk that starts at a noted state lands at once, and notes the same for the next such
    // state on its path, with what is left of the same stretch (a little stricter where the
    // first steps asked more). The offsets of a run of one byte value start walks a literal
    // apart, those of a chain of tiny blocks a few blocks apart, those of a stored chain on
    // 26,000 paths of 64 KiB blocks: each walk so costs a few steps.
    struct Entry {
        State state{~std::uint64_t{0}, 0};
        State landing{};
        Stretch toLanding;
    };
    static constexpr std::uint64_t entryWindow = std::uint64_t{128} << 10;  // bytes: past a stored block's reach
    // By byte modulo the window, in parts made as entries are noted in them: a scan that notes
    // a few keeps a few hundred KiB, not the whole 7 MiB.
    static constexpr std::uint64_t entryPart = 4096;  // bytes
    std::vector<std::unique_ptr<Entry[]>> entryParts_;
    std::uint64_t entriesBefore_ = 0;  // the last byte noted, plus one
    const Entry* entryAt(std::uint64_t byte) const;
    // The steps of the walk under way, until it lands or ends, each with what it asks.
    struct Traced {
        State state;
        Stretch steps;
    };
    static constexpr std::size_t traceLimit = 256;
    std::vector<Traced> trace_;
    bool isEntry(const State& state) const;
    const Entry* entryFor(const State& state) const;

    // Along a run of one byte value the bits repeat every eight, and an item depends on its
    // bits alone: a walk there soon comes back to a state (its bit within a byte, and whether at
    // a header or in a fixed block, final or not), and from there on repeats a period, whose
    // checks pass ever more easily as the count only grows. A walk that starts in a long run, or
    // has gone on and finds itself in one, reads ahead until a state recurs, and takes what it
    // read and as many periods as stay inside the run at once. The walks from a run's offsets
    // read the same items, shifted by whole bytes: the first one's reading serves them all.
    struct RunCycle {
        bool repeats = false;
        std::uint64_t prefixBits = 0;  // from where the reading began to the state that recurs
        Stretch prefix;
        std::uint64_t context = 0;  // of that state
        std::uint64_t periodBits = 0;
        Stretch period;
    };
    struct RunWalk {
        std::uint64_t runStart = 0;
        std::uint64_t runEnd = 0;  // runStart == runEnd: nothing known
        RunCycle cycle;            // read from runStart
    };
    struct Leap {
        bool leapt = false;
        std::uint64_t bits = 0;  // how far it goes
        std::uint64_t context = 0;
        Stretch steps;  // what they ask
    };
    // Runs shorter than this are walked: leaping saves little there.
    static constexpr std::uint64_t runWorthLeaping = 256;
    // How often a walk that goes on looks whether it is in a long run.
    static constexpr unsigned runCheckSteps = 64;
    AnyByteRunIndex runs_;
    RunWalk runWalk_;  // of the run the last walk started in
    // The cycle of the walk from `from`, in a run that ends at bit `runEnd`.
    RunCycle readCycle(State from, std::uint64_t runEnd);
    // The leap of a walk at `position` with `count` produced, where `cycle` was read from, in a
    // run that ends at bit `runEnd`.
    static Leap leapAlong(const RunCycle& cycle, std::uint64_t runEnd, std::uint64_t position, std::int64_t count,
                          std::uint32_t capacity);
    // Whether a walk from `offset` may start in a long run: in the last one, or at eight bytes
    // of one value. Inlined, as most walks start elsewhere.
    bool mayStartInRun(std::uint64_t offset) const {
        if (offset >= runWalk_.runStart && offset < runWalk_.runEnd) return true;
        if (size_ - offset < runWorthLeaping) return false;
        std::uint64_t word;
        std::memcpy(&word, input_ + offset, sizeof word);
        return word == (word & 0xFF) * 0x0101010101010101u;
    }
    // The leaps of a walk from `offset`, and of one at `state` that has gone on (by value: taken
    // by reference, the walk's state was kept in memory at every step).
    Leap leapAtStart(std::uint64_t offset, std::uint32_t capacity);
    Leap leapInRun(State state, std::int64_t count, std::uint32_t capacity);

    struct Noted {
        bool valid = false;
        State state{};
        Stretch toLanding;  // to the landing of the entry it came from
    };
    // Moves a walk that meets a noted state to its landing; `toLanding`: what that asked.
    bool landFromEntry(State& state, std::int64_t& produced, std::uint32_t capacity, Walk& walk, Stretch& toLanding,
                       Noted& next);
    void noteEntries(std::uint64_t offset, std::size_t traced, const State& landing, const Stretch& hop);
    void noteEntry(std::uint64_t offset, const State& state, const State& landing, const Stretch& toLanding);
};

}  // namespace korvel
