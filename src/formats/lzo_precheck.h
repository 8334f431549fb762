// A dry run of lzo1x_decompress_safe: follows the stream through the same instructions, with the
// same input, output and lookbehind checks in the same order, but copies nothing and keeps only
// the counts. Its answer is the library's: the result code and the produced length.
//
// Two things make it cheap at every offset. Runs of zero bytes in length codes are measured
// through a ZeroRunIndex instead of byte by byte. And walks from nearby offsets soon
// fall in step (same input position, same decoder state) and from there follow one path: the
// long walks are kept as paths, and a later walk that reaches a node of one finishes in
// O(log n) from what is kept there, whatever its own produced count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "unpack/zero_runs.h"

struct LzoOutcome {
    int result = 0;              // LZO_E_OK, LZO_E_INPUT_NOT_CONSUMED or an error code
    std::uint32_t produced = 0;  // what the library leaves in its output length
    std::uint64_t end = 0;       // after an end code: the input position just past it

    // The unpacker's rule: the end code reached, with nothing left over or something produced.
    bool accepted() const;
};

class LzoPrecheck {
public:
    // The outcome of lzo1x_decompress_safe on input[offset, size) with an output of `capacity`
    // bytes. What is kept about an input is dropped when another address or size is given; the
    // bytes of an input must not change between calls unless forget() is called in between.
    // Thread safety: one precheck per thread.
    LzoOutcome run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity);

    // Drops everything kept about the input: its paths and zero runs.
    void forget();

    // Decoder states at an instruction boundary; the names follow what came before.
    enum NodeKind : std::uint8_t {
        AtInstruction,   // top of the loop: a literal run or a match
        AfterLiterals,   // after a literal run: a low code is a three-byte match
        AfterMatch,      // after a match's trailing literals: a low code is a two-byte match
    };
    enum class Ending : std::uint8_t { Continue, EndCode, InputOverrun };

    // One instruction, as read from the input. Checks that depend on what was produced before
    // come in this order: lookbehind (`distance`), room for `length`, room for `trailing`; any
    // that is 0 is not made. An input overrun comes after those of them that are set.
    struct Instruction {
        std::uint64_t length = 0;      // literal run or match length
        std::uint32_t distance = 0;    // match distance; 0 for a literal run
        std::uint8_t trailing = 0;     // literals after a match
        Ending ending = Ending::Continue;
        NodeKind nextKind = AtInstruction;
        std::uint64_t next = 0;        // input position after it (after the end code for EndCode)
    };

private:
    struct PathStep {
        std::uint32_t position;    // relative to Path::origin
        std::uint32_t produced;    // by the walk that made the path, before this step
        std::uint16_t distance;
        std::uint8_t kind;
        std::uint8_t trailing;
    };
    // The steps of one walk, from a node on. It ends with the end code, with an input overrun
    // (both are the same for every walk that follows it), or open: the walk that made it failed
    // a check that depends on the produced count, or the path was cut at its size limit.
    struct Path {
        std::uint64_t origin = 0;
        std::vector<PathStep> steps;
        std::vector<std::int64_t> blockMaxima;  // tree over blocks of steps: the largest reach()
        std::size_t treeLeaves = 0;
        Ending ending = Ending::Continue;       // Continue: open
        std::uint64_t lastLength = 0;           // length of the last step (EndCode, InputOverrun)
        std::uint64_t endPosition = 0;          // EndCode: after the end code; open: the next node
        NodeKind openKind = AtInstruction;
        std::uint32_t openProduced = 0;
        std::size_t cursor = 0;                 // first step at or after the walk's position
        std::size_t startCursor = 0;            // first step at or after the last walk's start
        std::uint64_t lastUse = 0;

        std::uint64_t positionOf(std::size_t step) const { return origin + steps[step].position; }
        std::uint64_t lengthOf(std::size_t step) const;
        // The produced count after the step's room checks: they never fail below it.
        std::uint64_t endOfStep(std::size_t step) const;
        // How far a match reaches back beyond the produced count; it fails below 0 shifted.
        std::int64_t reach(std::size_t step) const;
        // The first step from `from` on whose reach is above `threshold`; steps.size() if none.
        std::size_t firstAbove(std::size_t from, std::int64_t threshold) const;
        void buildTree();
        void seek(std::uint64_t position);
        // Puts the cursor on the walk from `start`, now at `position`: walks start one byte
        // after another, so this costs O(1) each but for a jump.
        void track(std::uint64_t start, std::uint64_t position);
        // Moves the cursor on to `position`; true when that node is on the path.
        bool find(std::uint64_t position, NodeKind kind);
    };

    struct Walk {
        std::uint64_t position;
        NodeKind kind;
        std::uint64_t produced;
    };

    Instruction read(std::uint64_t position, NodeKind kind) const;
    Instruction readMatch(std::uint64_t position, unsigned code) const;
    Instruction withTrailing(Instruction instruction, std::uint64_t position) const;
    bool readLength(std::uint64_t& position, std::uint64_t base, std::uint64_t& length) const;
    std::uint64_t zerosAt(std::uint64_t position) const;
    // The outcome of a walk that reached step `step` of `path`; false when it runs on past an open
    // end, with `walk` moved there.
    bool follow(const Path& path, std::size_t step, Walk& walk, LzoOutcome& outcome) const;
    void startRecording(const Walk& walk, bool tracking);
    void record(const Walk& walk, const Instruction& instruction);
    void finishRecording(const Walk& walk, const Instruction* last);

    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint32_t capacity_ = 0;
    mutable ZeroRunIndex zeroRuns_;  // a cache: reading through it changes nothing seen

    static constexpr std::size_t pathSlots = 4;
    Path paths_[pathSlots];
    Path recording_;
    bool recordingStopped_ = false;
    std::uint64_t useClock_ = 0;
};
