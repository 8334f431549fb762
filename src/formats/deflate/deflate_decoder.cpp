#include "formats/deflate/deflate_decoder.h"

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

#include "formats/deflate/deflate_tables.h"

namespace {

using namespace deflate_tables;

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

// The literal/length/distance loop of a fixed or dynamic block; the fixed code's tables have
// no subtables.
// Inlined where it is called: rawInflate and the short attempt each instantiate the block loop,
// and a call here cost random bytes a tenth of their speed.
template <bool mayLink>
[[gnu::always_inline]] inline InflateResult decodeSymbols(InflateContext& context, const std::uint32_t* literalTable,
                                                          const std::uint32_t* distanceTable) {
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

[[gnu::always_inline]] inline InflateResult storedBlock(InflateContext& context) {
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
        if (symbol == 16) {
            if (index == 0) {
                save();
                return inflateRepeatWithoutLength;
            }
            value = lengths[index - 1];
        }
        const LengthRepeat repeat = lengthRepeat(symbol);
        if (repeat.extra > count) return inflateInputEnded;
        const int run = repeat.shortest + static_cast<int>(take(repeat.extra));
        // Runs may cross from the literal/length lengths into the distance lengths.
        if (index + run > total) {
            save();
            return inflateRunPastEnd;
        }
        std::memset(lengths + index, value, static_cast<std::size_t>(run));
        index += run;
    }
    save();

    std::uint32_t literalEntries[literalTableSize];
    std::uint32_t distanceEntries[distanceTableSize];
    const InflateResult built = buildDynamicCodes(lengths, literalCount, distanceCount, literalEntries, distanceEntries);
    if (built != inflateComplete) return built;
    return decodeSymbols<true>(context, literalEntries, distanceEntries);
}

template <unsigned maxBlocks>
InflateResult inflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source, std::uint64_t* sourceLen) {
    if (*sourceLen == 0) return inflateInputEnded;
    // The first block's type decides most attempts, and it is as good as random: it is read
    // straight from the first byte, so that the branch on it resolves as early as it can.
    const unsigned header = source[0];
    InflateContext context{dest, *destLen, 0, source + 1, source + *sourceLen, header >> 3, 5};
    bool last = (header & 1) != 0;
    unsigned type = header >> 1 & 3;
    InflateResult result;
    [[maybe_unused]] unsigned blocks = 0;
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
        if constexpr (maxBlocks != 0) {
            if (++blocks == maxBlocks) return inflateInputEnded;
        }
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

}  // namespace

InflateResult rawInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                         std::uint64_t* sourceLen) {
    return inflate<0>(dest, destLen, source, sourceLen);
}

InflateResult rawInflateFewBlocks(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                                  std::uint64_t* sourceLen) {
    return inflate<fewBlocks>(dest, destLen, source, sourceLen);
}
