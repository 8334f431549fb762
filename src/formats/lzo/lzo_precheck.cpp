#include "formats/lzo/lzo_precheck.h"

#include <lzo/lzoconf.h>

#include <array>

#include "formats/common/tuning.h"
#include "formats/common/walked_input.h"

namespace korvel {

namespace {

// Tuning (see formats/common/tuning.h). Walks join near their starts: landmarks of every level
// stay within 1 MiB of one, and thin out beyond (positions count bytes).
constexpr InputExtent landmarksNearby{1 << 20};

// Instruction fields of LZO1X, as lzo1x_d.ch reads them.
constexpr unsigned literalRunCodes = 16;   // codes below this at the top of the loop: literal runs
constexpr std::uint32_t farMatchBase = 0x4000;
constexpr std::uint32_t afterLiteralsBase = 0x801;

}  // namespace

// Not consumed: the end code came before the end of the file, so other data follows the stream;
// a bare end code there is no stream.
bool LzoOutcome::accepted() const { return result == LZO_E_OK || (result == LZO_E_INPUT_NOT_CONSUMED && produced != 0); }

LzoPrecheck::LzoPrecheck(std::size_t landmarkBudget, JoinBudget* shared)
    : landmarks_(landmarksNearby.bytes, landmarkBudget, shared) {}

void LzoPrecheck::forget() {
    landmarks_.clear();
    zeroRuns_ = ZeroRunIndex{};
}

// --- reading instructions ------------------------------------------------------------------

std::uint64_t LzoPrecheck::zerosAt(std::uint64_t position) const {
    return zeroRuns_.length(input_ + position, input_ + size_);
}

// The library adds 255 for each zero byte of a length code, checking one more input byte each
// time, then the first non-zero byte and a base. A run that reaches the input's end is an
// overrun. (Its check that the sum stays below 2^64 - 511 cannot fail on any real input.)
bool LzoPrecheck::readLength(std::uint64_t& position, std::uint64_t base, std::uint64_t& length) const {
    const std::uint64_t zeros = zerosAt(position);
    if (zeros == size_ - position) return false;
    length = 255 * zeros + base + input_[position + zeros];
    position += zeros + 1;
    return true;
}

LzoPrecheck::Instruction LzoPrecheck::read(std::uint64_t position, NodeKind kind) const {
    Instruction instruction;
    if (kind == AtInstruction) {
        if (size_ - position < 3) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        const unsigned code = input_[position++];
        if (code >= literalRunCodes) return readMatch(position, code);
        std::uint64_t count = code;
        if (count == 0 && !readLength(position, 15, count)) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        // Room for the run comes first, then the run and three more input bytes.
        instruction.length = count + 3;
        if (size_ - position < count + 6) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        instruction.next = position + count + 3;
        instruction.nextKind = AfterLiterals;
        return instruction;
    }
    // The instruction before left at least three input bytes.
    const unsigned code = input_[position++];
    if (code >= literalRunCodes) return readMatch(position, code);
    const std::uint32_t low = (code >> 2) + (std::uint32_t{input_[position++]} << 2);
    if (kind == AfterLiterals) {
        instruction.distance = afterLiteralsBase + low;
        instruction.length = 3;
    } else {
        instruction.distance = 1 + low;
        instruction.length = 2;
    }
    return withTrailing(instruction, position);
}

LzoPrecheck::Instruction LzoPrecheck::readMatch(std::uint64_t position, unsigned code) const {
    Instruction instruction;
    if (code >= 64) {
        instruction.distance = 1 + ((code >> 2) & 7) + (std::uint32_t{input_[position++]} << 3);
        instruction.length = (code >> 5) + 1;
        return withTrailing(instruction, position);
    }
    const bool near = code >= 32;
    std::uint64_t count = near ? code & 31 : code & 7;
    if (count == 0) {
        if (!readLength(position, near ? 31 : 7, count) || size_ - position < 2) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
    }
    const std::uint32_t low = (input_[position] | std::uint32_t{input_[position + 1]} << 8) >> 2;
    position += 2;
    if (near) {
        instruction.distance = 1 + low;
    } else {
        const std::uint32_t distance = ((code & 8) << 11) + low;
        if (distance == 0) {  // the end code, whatever its length field says
            instruction.ending = Ending::EndCode;
            instruction.next = position;
            return instruction;
        }
        instruction.distance = distance + farMatchBase;
    }
    instruction.length = count + 2;
    return withTrailing(instruction, position);
}

// After the match is copied: the low two bits of the byte two back count the literals that
// follow; room for them, then them and three more input bytes.
LzoPrecheck::Instruction LzoPrecheck::withTrailing(Instruction instruction, std::uint64_t position) const {
    instruction.trailing = input_[position - 2] & 3;
    if (instruction.trailing == 0) {
        instruction.next = position;
        instruction.nextKind = AtInstruction;
        return instruction;
    }
    if (size_ - position < instruction.trailing + 3u) {
        instruction.ending = Ending::InputOverrun;
        return instruction;
    }
    instruction.next = position + instruction.trailing;
    instruction.nextKind = AfterMatch;
    return instruction;
}

// --- screening -----------------------------------------------------------------------------

namespace {

static_assert(afterLiteralsBase > 15 + 255 + 3 && farMatchBase > 15 + 255 + 3,
              "no first literal run reaches so far back");

// How far back an instruction reaches at least, by its first byte, from its next two bytes as
// a 16-bit value v: base + ((v & mask) << up >> down), and past any run after literals where
// `blockedAfterLiterals` (a literal run cannot come there). Unknown where a zero byte starts a
// long length (which comes before the distance), or at the end code: those reach 0. A far
// match reaches farMatchBase or more, past any run, unless it is the end code.
struct Reach {
    std::uint16_t base;
    std::uint16_t mask;
    std::uint8_t up;
    std::uint8_t down;
    std::uint8_t blockedAfterLiterals;
};

constexpr auto reachByCode = [] {
    std::array<Reach, 256> table{};
    for (unsigned code = 0; code < 256; ++code) {
        Reach& reach = table[code];
        if (code < literalRunCodes) {
            reach = {static_cast<std::uint16_t>(1 + (code >> 2)), 0xff, 2, 0, 1};
        } else if (code >= 64) {
            reach = {static_cast<std::uint16_t>(1 + ((code >> 2) & 7)), 0xff, 3, 0, 0};
        } else if (code >= 32) {
            reach = (code & 31) == 0 ? Reach{} : Reach{1, 0xfffc, 0, 2, 0};
        } else if ((code & 7) != 0) {
            // The end code has a distance field of 0; any other reaches 256 or more here.
            reach = (code & 8) != 0 ? Reach{farMatchBase, 0, 0, 0, 0} : Reach{0, 0xfffc, 6, 0, 0};
        }
    }
    return table;
}();

// Whether the instruction at `at`, after `produced` literals (1 to 273) and of the given kind,
// may pass its lookbehind check. By one lookup, without a branch on the instruction's kind:
// that is a guess at every offset of random bytes.
bool secondInstructionMay(const std::uint8_t* at, unsigned produced, bool afterLiterals) {
    const Reach& reach = reachByCode[at[0]];
    const unsigned value = at[1] | unsigned{at[2]} << 8;
    const unsigned least = reach.base + (((value & reach.mask) << reach.up) >> reach.down) +
                           ((unsigned{afterLiterals} & reach.blockedAfterLiterals) << 20);
    return least <= produced;
}

// The same for a first byte: a literal run then the instruction after it, or a match with
// nothing before it. A run of n + 18 reads on to the byte 22 + n after its code: the screen
// of 64 offsets reads 256 + 64 bytes.
constexpr unsigned longestRunScreened = 256 - 22;
bool firstInstructionMay(const std::uint8_t* at) {
    const unsigned code = at[0];
    if (code > 17) {
        const unsigned count = code - 17;
        return secondInstructionMay(at + 1 + count, count, count >= 4);
    }
    if (code >= literalRunCodes) return code == 16 || ((at[1] | unsigned{at[2]} << 8) >> 2) == 0;
    // A literal run whose length is one byte, then the instruction after it, where the screen
    // reaches it; a longer run (zeros before that byte) produces too much to rule out anything.
    if (code == 0)
        return at[1] == 0 || at[1] > longestRunScreened || secondInstructionMay(at + 2 + 18 + at[1], 18 + at[1], true);
    return secondInstructionMay(at + 1 + code + 3, code + 3, true);
}

}  // namespace

std::uint64_t screenLzoOffsets(const std::uint8_t* first, unsigned count) {
    std::uint64_t possible = 0;
    for (unsigned i = 0; i < count; ++i) possible |= std::uint64_t{firstInstructionMay(first + i)} << i;
    return possible;
}

// --- the walk ------------------------------------------------------------------------------

LzoOutcome LzoPrecheck::run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset,
                            std::uint32_t capacity) {
    if (walkAnother(input_, size_, input, size)) forget();

    if (offset >= size) return {LZO_E_INPUT_OVERRUN, 0};
    // A rest of the input that is all zeros runs off its end in the first length code, before
    // anything is produced. Trailing zero padding is common, and this settles it in O(1).
    if (input[offset] == 0 && zeroRuns_.length(input + offset, input + size) == size - offset)
        return {LZO_E_INPUT_OVERRUN, 0};
    Place place{offset, AtInstruction};
    std::int64_t produced = 0;
    // A first byte above 17 is a literal run of that minus 17, to be followed by a match; up to
    // three of them are read as a match's trailing literals.
    if (input[offset] > 17) {
        const std::uint64_t count = input[offset] - 17u;
        if (capacity < count) return {LZO_E_OUTPUT_OVERRUN, 0};
        if (size - offset - 1 < count + 3) return {LZO_E_INPUT_OVERRUN, 0};
        place = {offset + 1 + count, count < 4 ? AfterMatch : AfterLiterals};
        produced = static_cast<std::int64_t>(count);
    }
    const auto outcome = [](int result, std::int64_t produced, std::uint64_t end = 0) {
        return LzoOutcome{result, static_cast<std::uint32_t>(produced), end};
    };
    LandmarkWalk<Place> walk(landmarks_, offset, firstJoiningStep);
    for (;;) {
        walk.at(place, produced, capacity);
        // The same checks as the library's, in its order. A length is below 2^40: no sum overflows.
        const Instruction instruction = read(place.position, place.kind);
        const auto length = static_cast<std::int64_t>(instruction.length);
        if (instruction.distance > produced) return outcome(LZO_E_LOOKBEHIND_OVERRUN, produced);
        if (produced + length > capacity) return outcome(LZO_E_OUTPUT_OVERRUN, produced);
        if (produced + length + instruction.trailing > capacity) return outcome(LZO_E_OUTPUT_OVERRUN, produced + length);
        switch (instruction.ending) {
            case Ending::EndCode:
                walk.ended(place);
                return outcome(instruction.next == size ? LZO_E_OK : LZO_E_INPUT_NOT_CONSUMED, produced,
                               instruction.next);
            case Ending::InputOverrun:
                walk.ended(place);
                // The literals after a match are checked once the match is copied.
                return outcome(LZO_E_INPUT_OVERRUN, instruction.trailing != 0 ? produced + length : produced);
            case Ending::Continue:
                break;
        }
        const std::int64_t output = length + instruction.trailing;
        walk.passed(output, Stretch::reaching(instruction.distance), output);
        place = {instruction.next, instruction.nextKind};
        produced += output;
    }
}

}  // namespace korvel
