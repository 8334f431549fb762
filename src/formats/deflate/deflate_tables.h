// The code tables of the raw deflate decoder, shared by rawInflate and its dry run: fixed
// tables are compile-time constants, dynamic ones are built into storage the caller owns.
// Thread safety: constants and pure functions only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "formats/deflate/deflate_decoder.h"

namespace korvel {

namespace deflate_tables {

constexpr int maxCodeLength = 15;
constexpr int maxLiteralLengths = 286;
constexpr int maxDistanceLengths = 30;
constexpr int codeLengthSymbols = 19;
constexpr int fixedLiteralCount = 288;

constexpr std::uint8_t codeLengthOrder[codeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::uint16_t lengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t lengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t distanceBase[maxDistanceLengths] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t distanceExtraBits[maxDistanceLengths] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// A table entry, one 32-bit word:
//   bits  0-7   bits the code takes (for a link: the root bits; for a hole: 15)
//   bits  8-11  extra bits after the code (for a link: the subtable's index bits)
//   bits 12-15  kind
//   bits 16-31  literal byte, length or distance base, code-length symbol, or subtable start
enum Kind : std::uint32_t {
    literalKind = 0,    // also every code-length symbol
    valueKind = 1,      // length or distance: base plus extra bits
    endKind = 2,        // end-of-block
    badLengthKind = 3,  // symbols 286 and 287
    holeKind = 4,       // no code matches: -10, on the fifteenth bit (hence length 15: with
                        // fewer bits left the input ends first, result 2)
    linkKind = 5,       // code longer than the root bits: look again in a subtable
};

constexpr std::uint32_t makeEntry(Kind kind, std::uint32_t value, std::uint32_t extra, std::uint32_t length) {
    return value << 16 | kind << 12 | extra << 8 | length;
}
constexpr Kind kindOf(std::uint32_t entry) { return static_cast<Kind>(entry >> 12 & 15); }
constexpr std::uint32_t holeEntry = makeEntry(holeKind, 0, 0, maxCodeLength);

// Code-length symbols 16, 17 and 18: how many extra bits give the run, and its shortest length
// (16 repeats the previous length, 17 and 18 repeat zero).
struct LengthRepeat {
    unsigned extra;
    int shortest;
};
constexpr LengthRepeat lengthRepeat(unsigned symbol) {
    return symbol == 16 ? LengthRepeat{2, 3} : symbol == 17 ? LengthRepeat{3, 3} : LengthRepeat{7, 11};
}

// Share of the code space a code-length code of each length takes, in units of 2^-7.
constexpr std::uint8_t kraftWeights[8] = {0, 64, 32, 16, 8, 4, 2, 1};
// The same for three lengths at once, as they lie in the stream.
constexpr auto kraftWeightsOfThree = [] {
    std::array<std::uint16_t, 512> weights{};
    for (unsigned fields = 0; fields < 512; ++fields)
        weights[fields] = static_cast<std::uint16_t>(kraftWeights[fields & 7] + kraftWeights[fields >> 3 & 7] +
                                                     kraftWeights[fields >> 6]);
    return weights;
}();
// The Kraft sum of the code-length code's lengths as they lie in the stream (three bits each,
// the unsent ones zero), in 128ths: 128 for a complete code, 0 for no codes at all.
constexpr int codeLengthKraft(std::uint64_t fields) {
    return kraftWeightsOfThree[fields & 511] + kraftWeightsOfThree[fields >> 9 & 511] +
           kraftWeightsOfThree[fields >> 18 & 511] + kraftWeightsOfThree[fields >> 27 & 511] +
           kraftWeightsOfThree[fields >> 36 & 511] + kraftWeightsOfThree[fields >> 45 & 511] +
           kraftWeightsOfThree[fields >> 54];
}
// Whether those lengths pass the first check: a complete code, or no codes at all (which fails
// at its first decode instead).
constexpr bool codeLengthCodeUsable(std::uint64_t fields) {
    const int kraft = codeLengthKraft(fields);
    return kraft == 128 || kraft == 0;
}

constexpr int literalRootBits = 10;
constexpr int distanceRootBits = 8;
constexpr int codeLengthRootBits = 7;  // the longest code-length code: no subtables
// Root plus subtables. A subtable of 2^d entries serves a full subtree of depth d, which holds
// at least d + 1 codes; with d <= 15 - rootBits that bounds the subtables of a complete code
// of n symbols by n * 2^dmax / (dmax + 1). Incomplete codes accepted have no long codes.
constexpr int literalTableSize = (1 << literalRootBits) + maxLiteralLengths * 32 / 6;
constexpr int distanceTableSize = (1 << distanceRootBits) + maxDistanceLengths * 128 / 8;
constexpr int codeLengthTableSize = 1 << codeLengthRootBits;

// What each symbol decodes to, less its code length.
constexpr auto literalPayloads = [] {
    std::array<std::uint32_t, fixedLiteralCount> payloads{};
    for (int s = 0; s < 256; ++s) payloads[s] = makeEntry(literalKind, static_cast<std::uint32_t>(s), 0, 0);
    payloads[256] = makeEntry(endKind, 0, 0, 0);
    for (int i = 0; i < 29; ++i) payloads[257 + i] = makeEntry(valueKind, lengthBase[i], lengthExtraBits[i], 0);
    payloads[286] = payloads[287] = makeEntry(badLengthKind, 0, 0, 0);
    return payloads;
}();
constexpr auto distancePayloads = [] {
    std::array<std::uint32_t, maxDistanceLengths> payloads{};
    for (int i = 0; i < maxDistanceLengths; ++i)
        payloads[i] = makeEntry(valueKind, distanceBase[i], distanceExtraBits[i], 0);
    return payloads;
}();
constexpr auto codeLengthPayloads = [] {
    std::array<std::uint32_t, codeLengthSymbols> payloads{};
    for (int s = 0; s < codeLengthSymbols; ++s)
        payloads[s] = makeEntry(literalKind, static_cast<std::uint32_t>(s), 0, 0);
    return payloads;
}();

constexpr auto reversedBytes = [] {
    std::array<std::uint8_t, 256> reversed{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int i = 0; i < 8; ++i) r |= ((b >> i) & 1) << (7 - i);
        reversed[b] = static_cast<std::uint8_t>(r);
    }
    return reversed;
}();

// The low `length` bits of `code` in reverse order: deflate sends Huffman codes most significant
// bit first, and the bit buffer delivers the first bit at the bottom.
constexpr std::uint32_t reverseBits(std::uint32_t code, int length) {
    const std::uint32_t reversed16 = std::uint32_t{reversedBytes[code & 0xFF]} << 8 | reversedBytes[code >> 8 & 0xFF];
    return reversed16 >> (16 - length);
}

// Code lengths per length, [0] counting the symbols without a code.
struct LengthCounts {
    std::uint16_t counts[maxCodeLength + 1];
};

constexpr LengthCounts countLengths(const std::uint8_t* lengths, int count) {
    // Zeros are counted last, by difference: in a sparse code's long runs of them, each
    // increment of one counter would wait for the one before.
    LengthCounts result{};
    int coded = 0;
    for (int s = 0; s < count; ++s) {
        if (lengths[s] != 0) {
            ++result.counts[lengths[s]];
            ++coded;
        }
    }
    result.counts[0] = static_cast<std::uint16_t>(count - coded);
    return result;
}

// Codes still free at length 15: 0 complete, > 0 incomplete, < 0 over-subscribed.
constexpr int freeCodes(const LengthCounts& lengthCounts) {
    int left = 1;
    for (int length = 1; length <= maxCodeLength; ++length) {
        left = 2 * left - lengthCounts.counts[length];
        if (left < 0) return left;
    }
    return left;
}

// A canonical Huffman decoding table: 2^rootBits entries indexed by the next rootBits bits,
// then subtables for the longer codes, indexed by the bits after the root ones.
struct HuffmanTable {
    std::uint32_t* entries;
    int rootBits;
};

// Fills `table` for `count` code lengths that form a complete code, or an incomplete one with
// no code longer than the root bits. Bit patterns that no code starts are holes.
constexpr void buildTable(HuffmanTable table, const std::uint8_t* lengths, int count,
                          const std::uint32_t* payloads, const LengthCounts& lengthCounts) {
    const std::uint32_t rootSize = 1u << table.rootBits;
    const bool complete = freeCodes(lengthCounts) == 0;

    // Canonical order: shorter codes first, equal lengths by ascending symbol.
    std::uint16_t sorted[fixedLiteralCount] = {};
    std::uint16_t offsets[maxCodeLength + 1] = {};
    for (int length = 1; length < maxCodeLength; ++length)
        offsets[length + 1] = static_cast<std::uint16_t>(offsets[length] + lengthCounts.counts[length]);
    for (int s = 0; s < count; ++s) {
        if (lengths[s] != 0) sorted[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
    const int coded = count - lengthCounts.counts[0];

    // Each symbol's code, reversed into bit-buffer order.
    std::uint16_t reversed[fixedLiteralCount] = {};
    std::uint32_t code = 0;
    int position = 0;
    for (int length = 1; length <= maxCodeLength; ++length) {
        for (int i = 0; i < lengthCounts.counts[length]; ++i, ++position, ++code)
            reversed[position] = static_cast<std::uint16_t>(reverseBits(code, length));
        code <<= 1;
    }

    // With no code longer than L < rootBits, the root repeats every 2^L entries: those are
    // filled, then copied over the rest, which costs far less for the tiny codes of short blocks.
    int longest = maxCodeLength;
    while (longest > 0 && lengthCounts.counts[longest] == 0) --longest;
    const std::uint32_t filled = 1u << std::min(longest, table.rootBits);
    if (!complete) {
        for (std::uint32_t i = 0; i < filled; ++i) table.entries[i] = holeEntry;
    }
    std::uint32_t nextSubtable = rootSize;
    int i = 0;
    while (i < coded) {
        const int length = lengths[sorted[i]];
        if (length <= table.rootBits) {
            const std::uint32_t entry = payloads[sorted[i]] | static_cast<std::uint32_t>(length);
            for (std::uint32_t at = reversed[i]; at < filled; at += 1u << length) table.entries[at] = entry;
            ++i;
            continue;
        }
        // Canonical codes sharing their first rootBits bits are consecutive, and the last of
        // them is the longest: it sets the subtable's size.
        const std::uint32_t rootIndex = reversed[i] & (rootSize - 1);
        int groupEnd = i + 1;
        while (groupEnd < coded && (reversed[groupEnd] & (rootSize - 1)) == rootIndex) ++groupEnd;
        const int subBits = lengths[sorted[groupEnd - 1]] - table.rootBits;
        const std::uint32_t subSize = 1u << subBits;
        std::uint32_t* subtable = table.entries + nextSubtable;
        if (!complete) {
            for (std::uint32_t at = 0; at < subSize; ++at) subtable[at] = holeEntry;
        }
        table.entries[rootIndex] = makeEntry(linkKind, nextSubtable, static_cast<std::uint32_t>(subBits),
                                             static_cast<std::uint32_t>(table.rootBits));
        nextSubtable += subSize;
        for (; i < groupEnd; ++i) {
            const int subLength = lengths[sorted[i]] - table.rootBits;
            const std::uint32_t entry = payloads[sorted[i]] | static_cast<std::uint32_t>(lengths[sorted[i]]);
            for (std::uint32_t at = reversed[i] >> table.rootBits; at < subSize; at += 1u << subLength)
                subtable[at] = entry;
        }
    }
    for (std::uint32_t size = filled; size < rootSize; size *= 2)
        std::copy(table.entries, table.entries + size, table.entries + size);
}

struct FixedTables {
    std::uint32_t literal[1 << literalRootBits];
    std::uint32_t distance[1 << distanceRootBits];
};

// The fixed code. Its distance code has thirty symbols, not thirty-two: codes 11110 and 11111
// stay holes and fail with -10.
constexpr FixedTables fixedTables = [] {
    FixedTables tables{};
    std::uint8_t lengths[fixedLiteralCount] = {};
    int s = 0;
    for (; s < 144; ++s) lengths[s] = 8;
    for (; s < 256; ++s) lengths[s] = 9;
    for (; s < 280; ++s) lengths[s] = 7;
    for (; s < fixedLiteralCount; ++s) lengths[s] = 8;
    buildTable({tables.literal, literalRootBits}, lengths, fixedLiteralCount, literalPayloads.data(),
               countLengths(lengths, fixedLiteralCount));
    for (s = 0; s < maxDistanceLengths; ++s) lengths[s] = 5;
    buildTable({tables.distance, distanceRootBits}, lengths, maxDistanceLengths, distancePayloads.data(),
               countLengths(lengths, maxDistanceLengths));
    return tables;
}();

// Looks the next code up. Past the end of the input the buffer is padded with zeros, which
// selects the one code that could still match; the caller compares its length with the bits
// there are.
template <bool mayLink>
inline std::uint32_t lookUp(const std::uint32_t* table, int rootBits, std::uint64_t bits) {
    std::uint32_t entry = table[bits & ((1u << rootBits) - 1)];
    if (mayLink && kindOf(entry) == linkKind)
        entry = table[(entry >> 16) + ((bits >> rootBits) & ((1u << (entry >> 8 & 15)) - 1))];
    return entry;
}

// A dynamic block's literal/length and distance codes from their code lengths: checked, then
// built into `literalEntries` and `distanceEntries` (literalTableSize and distanceTableSize
// entries). Usable: complete, no codes at all, or a single code of length 1 (for the
// literal/length code that is end-of-block). Only usable codes are built.
inline InflateResult buildDynamicCodes(const std::uint8_t* lengths, int literalCount, int distanceCount,
                                       std::uint32_t* literalEntries, std::uint32_t* distanceEntries) {
    if (lengths[256] == 0) return inflateNoEndOfBlock;
    const LengthCounts literalCounts = countLengths(lengths, literalCount);
    const int literalFree = freeCodes(literalCounts);
    if (literalFree < 0 || (literalFree > 0 && literalCounts.counts[0] + literalCounts.counts[1] != literalCount))
        return inflateBadLiteralCode;
    const LengthCounts distanceCounts = countLengths(lengths + literalCount, distanceCount);
    const int distanceFree = freeCodes(distanceCounts);
    if (distanceFree < 0 ||
        (distanceFree > 0 && distanceCounts.counts[0] + distanceCounts.counts[1] != distanceCount))
        return inflateBadDistanceCode;
    buildTable({literalEntries, literalRootBits}, lengths, literalCount, literalPayloads.data(), literalCounts);
    buildTable({distanceEntries, distanceRootBits}, lengths + literalCount, distanceCount, distancePayloads.data(),
               distanceCounts);
    return inflateComplete;
}

}  // namespace deflate_tables

}  // namespace korvel
