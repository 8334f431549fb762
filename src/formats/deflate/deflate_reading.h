// How raw deflate is read, written once for the two readers of its bits: rawInflate's, which
// streams them through a 64-bit buffer, and its dry run's, which reads at any bit position so
// that a walk can start from a state another walk left. The decoder is the definition of the
// format; the dry run reads block headers, dynamic code lengths, symbols and stored lengths
// through this same code, so the two cannot drift apart.
//
// A bit reader (`Bits`) offers:
//   void want(unsigned n)        makes n <= 56 bits available if the input still has them (the
//                                streaming reader refills when it holds fewer; the other has
//                                them all)
//   void fill()                  as want(56), but the streaming reader refills whatever it
//                                holds: in the symbol loop that costs less than a branch that is
//                                hard to predict
//   std::uint64_t peek() const   the next bits, first bit lowest, zeros past the input
//   std::uint64_t available() const  how many of peek()'s bits are the input's: after want(n),
//                                fewer than n only where the input ends
//   void skip(unsigned n)        consumes n <= available() bits
//
// Thread safety: pure functions over the reader they are given.
#pragma once

#include <cstdint>
#include <cstring>

#include "formats/deflate/deflate_tables.h"

namespace korvel {

namespace deflate_tables {

// One item of a block: read and decoded, not yet checked against the bytes produced (the caller
// checks a match's distance first, then the room for it).
struct Symbol {
    enum Kind : std::uint8_t { Literal, Match, End, Failed };
    Kind kind = Failed;
    InflateResult failure = inflateInputEnded;  // Failed: inflateInputEnded or inflateNoMatchingCode
    std::uint32_t value = 0;     // Literal: the byte; Match: the length
    std::uint32_t distance = 0;  // Match
};

// Reads the next literal, match or end of block. A code that matches nothing, or the length
// symbols 286 and 287, takes its bits and fails with inflateNoMatchingCode; input that ends
// inside an item takes nothing more and fails with inflateInputEnded. Inlined into both readers'
// loops: a call here cost the decoder a tenth of its speed on random bytes.
template <bool mayLink, class Bits>
[[gnu::always_inline]] inline Symbol readSymbol(Bits& bits, const std::uint32_t* literalTable,
                                                const std::uint32_t* distanceTable) {
    Symbol symbol;
    // 15 + 5 for the length and 15 + 13 for the distance: 48 bits at most.
    bits.fill();
    const std::uint32_t entry = lookUp<mayLink>(literalTable, literalRootBits, bits.peek());
    unsigned length = entry & 0xFF;
    if (length > bits.available()) return symbol;
    bits.skip(length);
    if (kindOf(entry) == literalKind) {
        symbol.kind = Symbol::Literal;
        symbol.value = entry >> 16;
        return symbol;
    }
    if (kindOf(entry) != valueKind) {
        // A hole took its fifteen bits.
        if (kindOf(entry) == endKind) symbol.kind = Symbol::End;
        else symbol.failure = inflateNoMatchingCode;
        return symbol;
    }
    unsigned extra = entry >> 8 & 15;
    if (extra > bits.available()) return symbol;
    const std::uint32_t matchLength = (entry >> 16) + static_cast<std::uint32_t>(bits.peek() & ((1u << extra) - 1));
    bits.skip(extra);
    const std::uint32_t distanceEntry = lookUp<mayLink>(distanceTable, distanceRootBits, bits.peek());
    length = distanceEntry & 0xFF;
    if (length > bits.available()) return symbol;
    bits.skip(length);
    if (kindOf(distanceEntry) != valueKind) {
        symbol.failure = inflateNoMatchingCode;
        return symbol;
    }
    extra = distanceEntry >> 8 & 15;
    if (extra > bits.available()) return symbol;
    symbol.kind = Symbol::Match;
    symbol.value = matchLength;
    symbol.distance = (distanceEntry >> 16) + static_cast<std::uint32_t>(bits.peek() & ((1u << extra) - 1));
    bits.skip(extra);
    return symbol;
}

// A stored block's length, from the byte after its block header: the check bytes are compared
// one at a time, and the first that differs ends the block.
struct StoredLength {
    InflateResult result;  // inflateComplete when the length checks out
    unsigned length;
    unsigned taken;        // bytes of the four read: 3 when the first check byte differs
};

inline StoredLength readStoredLength(const std::uint8_t* bytes, std::uint64_t available) {
    if (available < 4) return {inflateInputEnded, 0, 0};
    const unsigned length = bytes[0] | (unsigned{bytes[1]} << 8);
    if (bytes[2] != (~length & 0xFFu)) return {inflateBadStoredLength, length, 3};
    if (bytes[3] != ((~length >> 8) & 0xFFu)) return {inflateBadStoredLength, length, 4};
    return {inflateComplete, length, 4};
}

// Reads a dynamic block's header after its three block-header bits: the three counts, the
// code-length code and the literal/length and distance code lengths, with every check in the
// order the stream gives them. On a format error the bits read so far are taken.
struct CodeLengths {
    int literalCount = 0;
    int distanceCount = 0;
    std::uint8_t lengths[maxLiteralLengths + maxDistanceLengths];
};

template <class Bits>
InflateResult readCodeLengths(Bits& bits, CodeLengths& into) {
    const auto take = [&](unsigned n) {  // n <= 13
        const auto value = static_cast<unsigned>(bits.peek() & ((1u << n) - 1));
        bits.skip(n);
        return value;
    };
    // All three counts are read before any is checked.
    bits.want(14);
    if (bits.available() < 14) return inflateInputEnded;
    into.literalCount = static_cast<int>(take(5)) + 257;
    into.distanceCount = static_cast<int>(take(5)) + 1;
    const int codeCount = static_cast<int>(take(4)) + 4;
    if (into.literalCount > maxLiteralLengths || into.distanceCount > maxDistanceLengths) return inflateTooManyLengths;

    // The code-length code is checked from its lengths before it is stored or built: most
    // headers fail here. Complete, or no codes at all: that one passes here and fails at its
    // first decode.
    std::uint8_t* const lengths = into.lengths;
    std::memset(lengths, 0, codeLengthSymbols);
    const auto lengthBits = static_cast<unsigned>(3 * codeCount);
    bits.want(lengthBits);
    // All nineteen take 57 bits, which a reader may hold or not: both ways read alike.
    if (bits.available() >= lengthBits) {
        // Seven lengths at a time; unsent ones read as 0 and weigh nothing.
        const std::uint64_t fields = bits.peek() & ((std::uint64_t{1} << lengthBits) - 1);
        if (!codeLengthCodeUsable(fields)) {
            bits.skip(lengthBits);
            return inflateBadCodeLengthCode;
        }
        for (int i = 0; i < codeCount; ++i) lengths[codeLengthOrder[i]] = static_cast<std::uint8_t>(take(3));
    } else {
        // Near the end of the input, or with all nineteen lengths: one at a time.
        int kraft = 0;
        for (int i = 0; i < codeCount; ++i) {
            bits.want(3);
            if (bits.available() < 3) return inflateInputEnded;
            const unsigned length = take(3);
            lengths[codeLengthOrder[i]] = static_cast<std::uint8_t>(length);
            kraft += kraftWeights[length];
        }
        if (kraft != 128 && kraft != 0) return inflateBadCodeLengthCode;
    }
    std::uint32_t codeLengthEntries[codeLengthTableSize];
    buildTable({codeLengthEntries, codeLengthRootBits}, lengths, codeLengthSymbols, codeLengthPayloads.data(),
               countLengths(lengths, codeLengthSymbols));

    const int total = into.literalCount + into.distanceCount;
    int index = 0;
    while (index < total) {
        // 15 for a hole, or at most 7 for the code and 7 extra bits.
        bits.want(15);
        const std::uint32_t entry = codeLengthEntries[bits.peek() & (codeLengthTableSize - 1)];
        const unsigned codeBits = entry & 0xFF;
        if (codeBits > bits.available()) return inflateInputEnded;
        bits.skip(codeBits);
        if (kindOf(entry) == holeKind) return inflateNoMatchingCode;
        const unsigned symbol = entry >> 16;
        if (symbol < 16) {
            lengths[index++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        if (symbol == 16) {
            if (index == 0) return inflateRepeatWithoutLength;
            value = lengths[index - 1];
        }
        const LengthRepeat repeat = lengthRepeat(symbol);
        if (repeat.extra > bits.available()) return inflateInputEnded;
        const int run = repeat.shortest + static_cast<int>(take(repeat.extra));
        // Runs may cross from the literal/length lengths into the distance lengths.
        if (index + run > total) return inflateRunPastEnd;
        std::memset(lengths + index, value, static_cast<std::size_t>(run));
        index += run;
    }
    return inflateComplete;
}

}  // namespace deflate_tables

}  // namespace korvel
