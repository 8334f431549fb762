// The outcome of UCL's safe 8-bit NRV2B and NRV2D decoders, found without decoding.
// Thread safety: reentrant; the run index passed in belongs to the caller's thread.
//
// The decoders never read their output: which codes they take, where they stop and how much
// they report depends on the input bytes and the capacity alone. So the walk below follows
// the stream code by code with the decoders' own bit reading, bound checks, failure order and
// end code, keeping only counts. A match costs O(1) whatever its length, which matters because
// ordinary data at most offsets "decodes" into huge spurious matches before failing.
#pragma once

#include <array>
#include <cstdint>

#include "core/byte_runs.h"
#include "formats/common/landmark_memo.h"

namespace korvel {

enum class UclMethod { nrv2b, nrv2d };

struct UclOutcome {
    int result = 0;              // the UCL_E_* code the decoder returns
    std::uint32_t produced = 0;  // what it stores in *dst_len
    std::uint32_t taken = 0;     // input bytes read; for a stream, where it ends
};

// The scan's rule: a clean end, or an end code followed by more input after some output.
bool uclOutcomeIsStream(const UclOutcome& outcome);

struct UclVerdict {
    bool stream = false;         // uclOutcomeIsStream of the decoder's outcome
    std::uint32_t produced = 0;  // the decoder's output length, for a stream
    std::uint32_t taken = 0;     // input bytes read; for a stream, where it ends
    int result = 0;              // the walk's result; a failure's code may differ from the decoder's
};

// What ucl_nrv2b_decompress_safe_8 / ucl_nrv2d_decompress_safe_8 would return for `source`
// (`sourceLength` bytes) into an output of `capacity` bytes, as a verdict; the failure code is
// not kept. Exact for every input, including 32-bit wrap-around of the decoders' counters.
// Quicker than the full walk (ucl_precheck_internal.h) where most offsets of ordinary data fail
// at once.
//
// Like the decoders, it fetches a control byte before checking the input bound, so
// source[sourceLength] must be readable (its value decides which failure is reported).
//
// Runs of 0xff are all literals and are measured with `onesRuns`, which must index the bytes
// from `source` on (the scan's index over the whole input does).
UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity, OnesRunIndex& onesRuns);

// Which of the `count` (at most 64) offsets from `first` may start a stream, as set bits: a
// clear one is certain to fail, from its first control byte (a first match with nothing to
// copy, unless it is the end code) and at most the bytes up to the first match's offset, or
// from its first two control bytes (a match that reaches further back than anything produced).
// Reads at most 10 + count bytes from `first`.
std::uint64_t screenUclOffsets(UclMethod method, const std::uint8_t* first, unsigned count);

// The same verdicts for walks that go far, joined so that runs of one byte value, or of a short
// pattern, cost about as much as ordinary data: every offset of a run of 0xE5 (the fill byte of
// FAT images) would otherwise walk to the run's end. Walks join at landmarks (landmark_memo.h);
// a state here is the input position, the control bits still unread and the last match offset.
// The decoders check the room before the distance. Exact for inputs below 4 GiB and capacities
// below 2 GiB, where no counter wraps; elsewhere it walks without joining.
// Thread safety: one dry run per thread.
class UclDryRun {
public:
    explicit UclDryRun(UclMethod method, JoinBudget* shared = nullptr);

    // precheckUclStream's verdict for input[offset, size), with input[size] readable.
    UclVerdict run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity,
                   OnesRunIndex& onesRuns);
    // Drops the landmarks and what is known of runs, for new bytes at the same address.
    void forget() {
        landmarks_.clear();
        runs_ = AnyByteRunIndex{};
        periodicRun_ = PeriodicRun{};
        resumptions_ = {};
    }
    // Whether the last walk hopped or read past a short attempt: the next one likely will.
    bool walkedFar() const { return walkedFar_; }

    struct State {
        std::uint64_t position;   // input position
        std::uint32_t bits;       // the control bit buffer
        std::uint32_t lastOffset;
        std::uint64_t key() const { return position * 0x9E3779B97F4A7C15u ^ (std::uint64_t{bits} << 32 | lastOffset); }
        bool operator==(const State&) const = default;
    };

    // How the walks from the offsets of one phase of a periodic run go while they stay in it
    // (a run of one byte value has one phase): each reads the same bytes from the same state,
    // so each is the first one's walk, shifted. That walk soon repeats a state (the control bits
    // left and the last offset, a whole number of periods of the run further on) with all its
    // checks passed; from then on it repeats a period, whose checks pass ever more easily, as
    // the count only grows: lookbehind checks need a count of at least `need`, room checks hold
    // while the count plus `room` stays within the capacity.
    struct RunWalk {
        bool known = false;            // a walk of this phase was recorded
        bool repeats = false;          // false: the walk left the run or gave up before a state recurred
        std::uint32_t prefixTaken = 0;  // the walk's start to the first state that recurs
        std::uint32_t prefixProduced = 0;
        Stretch prefix;
        std::uint32_t bits = 0;        // the state that recurs, but for its position
        std::uint32_t lastOffset = 0;
        std::uint32_t periodTaken = 0;  // from that state to its recurrence
        Stretch period;
    };
    // Runs of a pattern of up to this many bytes are leapt along: fill patterns, and tables of
    // one record over and over.
    static constexpr unsigned longestPeriod = 16;
    // Bytes [start, end) that repeat every `period` bytes, and the walks of its phases.
    struct PeriodicRun {
        std::uint64_t start = 0;
        std::uint64_t end = 0;  // start == end: nothing known
        unsigned period = 1;
        bool leaps = false;     // a run of 0xff is taken in groups of literals instead
        std::array<RunWalk, longestPeriod> phases{};
    };

    // A state the first walk of a run reached, and the steps from its start to there.
    struct RecordedState {
        std::uint32_t taken, bits, lastOffset, produced;
        Stretch sinceStart;
    };
    // Where the last walk that met the others at `from` (after a leap along a run, or after a
    // run of 0xff from its start) went on to: the start of its last step, and what the steps
    // before asked. By the place's position: the phases of a run go to different slots.
    struct Resumption {
        State from{~std::uint64_t{0}, 0, 0};  // nowhere
        State last{};
        Stretch toLast;
    };
    static constexpr unsigned resumptionSlots = 16;

    // States a recording keeps before it gives up on finding one that recurs.
    static constexpr unsigned recordedStates = 48;
    struct Recording {
        std::array<RecordedState, recordedStates> states;
        unsigned count = 0;
        Stretch sinceStart;  // the steps from the walk's start so far
    };

private:
    friend class UclJoins;

    UclMethod method_;
    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint32_t capacity_ = 0;
    LandmarkMemo<State> landmarks_;
    bool walkedFar_ = false;
    AnyByteRunIndex runs_;      // runs of any value in this input
    PeriodicRun periodicRun_;  // the one the last walk started in
    Recording recording_;   // of the first walk of that run
    std::array<Resumption, resumptionSlots> resumptions_{};
};

}  // namespace korvel
