#include "formats/deflate_decoder.h"

#include <array>
#include <bit>
#include <cstring>

// The scanner calls rawInflate at every byte offset and nearly every call fails within a few
// bytes, so the design favours cheap failure: a 64-bit bit buffer filled eight bytes at a
// time, table lookups instead of a bit-by-bit code walk, and dynamic headers rejected from
// their counts before any table is built.
//
// Byte accounting: bitBuffer only ever holds bits of bytes already counted as taken (plus,
// above bitCount, copies of the bits that follow them), so the bytes taken are the bytes
// loaded minus the whole bytes still unused in the buffer, exactly what a reader that takes
// one byte whenever it needs a bit reports.

namespace {

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
    LengthCounts result{};
    for (int s = 0; s < count; ++s) ++result.counts[lengths[s]];
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

    if (!complete) {
        for (std::uint32_t i = 0; i < rootSize; ++i) table.entries[i] = holeEntry;
    }
    std::uint32_t nextSubtable = rootSize;
    int i = 0;
    while (i < coded) {
        const int length = lengths[sorted[i]];
        if (length <= table.rootBits) {
            const std::uint32_t entry = payloads[sorted[i]] | static_cast<std::uint32_t>(length);
            for (std::uint32_t at = reversed[i]; at < rootSize; at += 1u << length) table.entries[at] = entry;
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

// State of one rawInflate call; lives in that call's frame.
struct InflateContext {
    std::uint8_t* dest;
    std::uint32_t destCapacity;
    std::uint32_t destCount;  // bytes produced; also the reach of match distances
    const std::uint8_t* next;  // next byte to enter bitBuffer
    const std::uint8_t* end;
    std::uint64_t bitBuffer;  // next bit is the least significant one
    unsigned bitCount;        // bits of bytes taken still unused
};

std::uint64_t loadLittleEndian64(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// Tops the buffer up to at least 56 bits, or takes every byte left. Bytes are counted as
// taken only as far as whole bytes fit below bit 64; the bits above bitCount are the start
// of the next byte, and the next refill ORs the same values over them.
inline void refill(std::uint64_t& bits, unsigned& count, const std::uint8_t*& next, const std::uint8_t* end) {
    if (end - next >= 8) {
        bits |= loadLittleEndian64(next) << count;
        next += (63 - count) >> 3;
        count |= 56;
    } else {
        while (count <= 56 && next < end) {
            bits |= std::uint64_t{*next++} << count;
            count += 8;
        }
    }
}

// Looks the next code up. Past the end of the input the buffer is padded with zeros, which
// selects the one code that could still match; the caller compares its length with the bits
// there are.
template <bool mayLink>
std::uint32_t lookUp(const std::uint32_t* table, int rootBits, std::uint64_t bits) {
    std::uint32_t entry = table[bits & ((1u << rootBits) - 1)];
    if (mayLink && kindOf(entry) == linkKind)
        entry = table[(entry >> 16) + ((bits >> rootBits) & ((1u << (entry >> 8 & 15)) - 1))];
    return entry;
}

// The literal/length/distance loop of a fixed or dynamic block; the fixed code's tables have
// no subtables.
template <bool mayLink>
InflateResult decodeSymbols(InflateContext& context, const std::uint32_t* literalTable, const std::uint32_t* distanceTable) {
    std::uint64_t bits = context.bitBuffer;
    unsigned count = context.bitCount;
    const std::uint8_t* next = context.next;
    const std::uint8_t* const end = context.end;
    std::uint8_t* const dest = context.dest;
    const std::uint32_t capacity = context.destCapacity;
    std::uint32_t produced = context.destCount;
    InflateResult result;
    for (;;) {
        // At least 56 bits, more than the longest item needs: 15 + 5 for the length, 15 + 13
        // for the distance. With fewer, the input is all in the buffer and each step checks
        // what it needs. Refilling every time costs less than a branch that is hard to predict.
        refill(bits, count, next, end);
        const std::uint32_t entry = lookUp<mayLink>(literalTable, literalRootBits, bits);
        unsigned length = entry & 0xFF;
        if (length > count) {
            result = inflateInputEnded;
            break;
        }
        if (kindOf(entry) == literalKind) {
            if (produced == capacity) {
                result = inflateOutputFull;
                break;
            }
            bits >>= length;
            count -= length;
            dest[produced++] = static_cast<std::uint8_t>(entry >> 16);
            continue;
        }
        bits >>= length;
        count -= length;
        if (kindOf(entry) != valueKind) {
            result = kindOf(entry) == endKind ? inflateComplete : inflateNoMatchingCode;  // a hole took its fifteen bits
            break;
        }
        unsigned extra = entry >> 8 & 15;
        if (extra > count) {
            result = inflateInputEnded;
            break;
        }
        const std::uint32_t matchLength = (entry >> 16) + static_cast<std::uint32_t>(bits & ((1u << extra) - 1));
        bits >>= extra;
        count -= extra;

        const std::uint32_t distanceEntry = lookUp<mayLink>(distanceTable, distanceRootBits, bits);
        length = distanceEntry & 0xFF;
        if (length > count) {
            result = inflateInputEnded;
            break;
        }
        bits >>= length;
        count -= length;
        if (kindOf(distanceEntry) != valueKind) {
            result = inflateNoMatchingCode;
            break;
        }
        extra = distanceEntry >> 8 & 15;
        if (extra > count) {
            result = inflateInputEnded;
            break;
        }
        const std::uint32_t distance = (distanceEntry >> 16) + static_cast<std::uint32_t>(bits & ((1u << extra) - 1));
        bits >>= extra;
        count -= extra;

        if (distance > produced) {
            result = inflateDistanceTooFar;
            break;
        }
        if (matchLength > capacity - produced) {
            result = inflateOutputFull;
            break;
        }
        std::uint8_t* to = dest + produced;
        const std::uint8_t* from = to - distance;
        // Exactly matchLength bytes are written: what lies past them must stay as it was.
        if (distance >= matchLength) {
            std::memcpy(to, from, matchLength);
        } else if (distance == 1) {
            std::memset(to, *from, matchLength);
        } else {
            // Overlapping: repeats the bytes just written, in steps no longer than the distance.
            std::uint32_t i = 0;
            if (distance >= 8) {
                for (; i + 8 <= matchLength; i += 8) std::memcpy(to + i, from + i, 8);
            }
            for (; i < matchLength; ++i) to[i] = from[i];
        }
        produced += matchLength;
    }
    context.bitBuffer = bits;
    context.bitCount = count;
    context.next = next;
    context.destCount = produced;
    return result;
}

InflateResult storedBlock(InflateContext& context) {
    // LEN starts at the next byte boundary: whole unused bytes go back to the source.
    context.next -= context.bitCount >> 3;
    context.bitBuffer = 0;
    context.bitCount = 0;
    const std::uint8_t* p = context.next;
    if (context.end - p < 4) return inflateInputEnded;
    const unsigned length = p[0] | (unsigned{p[1]} << 8);
    // The check bytes are taken one at a time; the first that differs ends the call.
    if (p[2] != (~length & 0xFFu)) {
        context.next = p + 3;
        return inflateBadStoredLength;
    }
    context.next = p + 4;
    if (p[3] != ((~length >> 8) & 0xFFu)) return inflateBadStoredLength;
    if (static_cast<std::uint64_t>(context.end - context.next) < length) return inflateInputEnded;
    if (length > context.destCapacity - context.destCount) return inflateOutputFull;
    if (length != 0) {
        std::memcpy(context.dest + context.destCount, context.next, length);
        context.destCount += length;
        context.next += length;
    }
    return inflateComplete;
}

InflateResult dynamicBlock(InflateContext& context) {
    std::uint64_t bits = context.bitBuffer;
    unsigned count = context.bitCount;
    const std::uint8_t* next = context.next;
    const std::uint8_t* const end = context.end;
    auto take = [&](unsigned n) {  // n <= 13
        const auto value = static_cast<unsigned>(bits & ((1u << n) - 1));
        bits >>= n;
        count -= n;
        return value;
    };
    auto save = [&] {
        context.bitBuffer = bits;
        context.bitCount = count;
        context.next = next;
    };

    // All three counts are read before any is checked.
    if (count < 14) refill(bits, count, next, end);
    if (count < 14) return inflateInputEnded;
    const int literalCount = static_cast<int>(take(5)) + 257;
    const int distanceCount = static_cast<int>(take(5)) + 1;
    const int codeCount = static_cast<int>(take(4)) + 4;
    if (literalCount > maxLiteralLengths || distanceCount > maxDistanceLengths) {
        save();
        return inflateTooManyLengths;
    }

    // The code-length code is checked from its lengths before it is stored or built: most
    // headers fail here. Complete, or no codes at all: that one passes here and fails at its
    // first decode.
    std::uint8_t lengths[maxLiteralLengths + maxDistanceLengths];
    std::memset(lengths, 0, codeLengthSymbols);
    const auto lengthBits = static_cast<unsigned>(3 * codeCount);
    if (count < lengthBits) refill(bits, count, next, end);
    if (count >= lengthBits) {
        // Unsent lengths read as 0 and weigh nothing.
        const std::uint64_t fields = bits & ((std::uint64_t{1} << lengthBits) - 1);
        const int kraft = kraftWeightsOfThree[fields & 511] + kraftWeightsOfThree[fields >> 9 & 511] +
                          kraftWeightsOfThree[fields >> 18 & 511] + kraftWeightsOfThree[fields >> 27 & 511] +
                          kraftWeightsOfThree[fields >> 36 & 511] + kraftWeightsOfThree[fields >> 45 & 511] +
                          kraftWeightsOfThree[fields >> 54];
        if (kraft != 128 && kraft != 0) {
            bits >>= lengthBits;
            count -= lengthBits;
            save();
            return inflateBadCodeLengthCode;
        }
        for (int i = 0; i < codeCount; ++i) lengths[codeLengthOrder[i]] = static_cast<std::uint8_t>(take(3));
    } else {
        // Only near the end of the input, or with all nineteen lengths: one at a time.
        int kraft = 0;
        for (int i = 0; i < codeCount; ++i) {
            if (count < 3) {
                refill(bits, count, next, end);
                if (count < 3) return inflateInputEnded;
            }
            const unsigned length = take(3);
            lengths[codeLengthOrder[i]] = static_cast<std::uint8_t>(length);
            kraft += kraftWeights[length];
        }
        if (kraft != 128 && kraft != 0) {
            save();
            return inflateBadCodeLengthCode;
        }
    }
    std::uint32_t codeLengthEntries[codeLengthTableSize];
    buildTable({codeLengthEntries, codeLengthRootBits}, lengths, codeLengthSymbols, codeLengthPayloads.data(),
               countLengths(lengths, codeLengthSymbols));

    const int total = literalCount + distanceCount;
    int index = 0;
    while (index < total) {
        // 15 for a hole, or at most 7 for the code and 7 extra bits.
        if (count < 15) refill(bits, count, next, end);
        const std::uint32_t entry = codeLengthEntries[bits & (codeLengthTableSize - 1)];
        const unsigned codeBits = entry & 0xFF;
        if (codeBits > count) return inflateInputEnded;
        bits >>= codeBits;
        count -= codeBits;
        if (kindOf(entry) == holeKind) {
            save();
            return inflateNoMatchingCode;
        }
        const unsigned symbol = entry >> 16;
        if (symbol < 16) {
            lengths[index++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        unsigned extra;
        int run;
        if (symbol == 16) {
            if (index == 0) {
                save();
                return inflateRepeatWithoutLength;
            }
            value = lengths[index - 1];
            extra = 2;
            run = 3;
        } else if (symbol == 17) {
            extra = 3;
            run = 3;
        } else {
            extra = 7;
            run = 11;
        }
        if (extra > count) return inflateInputEnded;
        run += static_cast<int>(take(extra));
        // Runs may cross from the literal/length lengths into the distance lengths.
        if (index + run > total) {
            save();
            return inflateRunPastEnd;
        }
        std::memset(lengths + index, value, static_cast<std::size_t>(run));
        index += run;
    }
    save();

    if (lengths[256] == 0) return inflateNoEndOfBlock;
    // Usable: complete, no codes at all, or a single code of length 1 (for the literal/length
    // code that is end-of-block). Only usable codes are built.
    const LengthCounts literalCounts = countLengths(lengths, literalCount);
    const int literalFree = freeCodes(literalCounts);
    if (literalFree < 0 || (literalFree > 0 && literalCounts.counts[0] + literalCounts.counts[1] != literalCount))
        return inflateBadLiteralCode;
    const LengthCounts distanceCounts = countLengths(lengths + literalCount, distanceCount);
    const int distanceFree = freeCodes(distanceCounts);
    if (distanceFree < 0 ||
        (distanceFree > 0 && distanceCounts.counts[0] + distanceCounts.counts[1] != distanceCount))
        return inflateBadDistanceCode;

    std::uint32_t literalEntries[literalTableSize];
    std::uint32_t distanceEntries[distanceTableSize];
    buildTable({literalEntries, literalRootBits}, lengths, literalCount, literalPayloads.data(), literalCounts);
    buildTable({distanceEntries, distanceRootBits}, lengths + literalCount, distanceCount, distancePayloads.data(),
               distanceCounts);
    return decodeSymbols<true>(context, literalEntries, distanceEntries);
}

}  // namespace

InflateResult rawInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                         std::uint64_t* sourceLen) {
    if (*sourceLen == 0) return inflateInputEnded;
    // The first block's type decides most attempts, and it is as good as random: it is read
    // straight from the first byte, so that the branch on it resolves as early as it can.
    const unsigned header = source[0];
    InflateContext context{dest, *destLen, 0, source + 1, source + *sourceLen, header >> 3, 5};
    bool last = (header & 1) != 0;
    unsigned type = header >> 1 & 3;
    InflateResult result;
    for (;;) {
        switch (type) {
            case 0:
                result = storedBlock(context);
                break;
            case 1:
                result = decodeSymbols<false>(context, fixedTables.literal, fixedTables.distance);
                break;
            case 2:
                result = dynamicBlock(context);
                break;
            default:
                result = inflateBadBlockType;
                break;
        }
        if (result != inflateComplete || last) break;
        if (context.bitCount < 3) refill(context.bitBuffer, context.bitCount, context.next, context.end);
        if (context.bitCount < 3) return inflateInputEnded;
        last = (context.bitBuffer & 1) != 0;
        type = context.bitBuffer >> 1 & 3;
        context.bitBuffer >>= 3;
        context.bitCount -= 3;
    }

    if (result <= 0) {
        *destLen = context.destCount;
        *sourceLen = static_cast<std::uint64_t>(context.next - source) - context.bitCount / 8;
    }
    return result;
}
