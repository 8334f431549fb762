// A dry run of lzo1x_decompress_safe: follows the stream through the same instructions, with the
// same input, output and lookbehind checks in the same order, but copies nothing and keeps only
// the counts. Its answer is the library's: the result code and the produced length.
//
// Two things make it cheap at every offset. Runs of zero bytes in length codes are measured
// through a ZeroRunIndex instead of byte by byte. And walks from nearby offsets soon
// fall in step (same input position, same decoder state) and from there follow one path: the
// long walks leave landmarks (see LandmarkMemo), and a later walk that reaches one hops along
// the path in a few steps, whatever its own produced count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/byte_runs.h"
#include "formats/common/landmark_memo.h"

namespace korvel {

struct LzoOutcome {
    int result = 0;              // LZO_E_OK, LZO_E_INPUT_NOT_CONSUMED or an error code
    std::uint32_t produced = 0;  // what the library leaves in its output length
    std::uint64_t end = 0;       // after an end code: the input position just past it

    // The unpacker's rule: the end code reached, with nothing left over or something produced.
    bool accepted() const;
};

// Which of the `count` (at most 64) offsets from `first` may start a stream, as set bits: a
// clear one fails at its first or second instruction, a match that reaches before the first
// byte produced, whatever follows. Reads at most 256 + count bytes from `first`.
std::uint64_t screenLzoOffsets(const std::uint8_t* first, unsigned count);

class LzoPrecheck {
public:
    // The outcome of lzo1x_decompress_safe on input[offset, size) with an output of `capacity`
    // bytes. What is kept about an input is dropped when another address or size is given; the
    // bytes of an input must not change between calls unless forget() is called in between.
    // Thread safety: one precheck per thread.
    LzoOutcome run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity);

    // Drops everything kept about the input: its landmarks and zero runs.
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

    // A node of the walk: the input position and the instruction kind expected there.
    struct Place {
        std::uint64_t position;
        NodeKind kind;
        std::uint64_t key() const { return position << 2 | kind; }
        bool operator==(const Place&) const = default;
    };

    // `landmarkBudget`: how many landmarks the walks may keep (see LandmarkMemo).
    explicit LzoPrecheck(std::size_t landmarkBudget = LandmarkMemo<Place>::defaultBudget,
                         JoinBudget* shared = nullptr);

private:
    Instruction read(std::uint64_t position, NodeKind kind) const;
    Instruction readMatch(std::uint64_t position, unsigned code) const;
    Instruction withTrailing(Instruction instruction, std::uint64_t position) const;
    bool readLength(std::uint64_t& position, std::uint64_t base, std::uint64_t& length) const;
    std::uint64_t zerosAt(std::uint64_t position) const;
    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    mutable ZeroRunIndex zeroRuns_;  // a cache: reading through it changes nothing seen

    LandmarkMemo<Place> landmarks_;
};

}  // namespace korvel
