#include "reference_inflate.h"

#include <cstring>

namespace korvel {

namespace reference {

namespace {

// The tables are written out here again on purpose: the reference must not share a mistake with
// the decoder it checks.
constexpr int maxCodeLength = 15;
constexpr int maxLiteralLengths = 286;
constexpr int maxDistanceLengths = 30;
constexpr int codeLengthSymbols = 19;
constexpr int fixedLiteralCount = 288;

constexpr std::int16_t codeLengthOrder[codeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::int16_t inflateLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::int16_t inflateLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::int16_t inflateDistanceBase[maxDistanceLengths] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::int16_t inflateDistanceExtraBits[maxDistanceLengths] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The fixed code's tables: built by the first fixed block of the run, then kept.
bool fixedTablesPending = true;
std::int16_t fixedLiteralCounts[maxCodeLength + 1];
std::int16_t fixedLiteralSymbols[fixedLiteralCount];
std::int16_t fixedDistanceCounts[maxCodeLength + 1];
std::int16_t fixedDistanceSymbols[maxDistanceLengths];
HuffmanTable fixedLiteralTable{fixedLiteralCounts, fixedLiteralSymbols};
HuffmanTable fixedDistanceTable{fixedDistanceCounts, fixedDistanceSymbols};

void buildFixedTables() {
    std::int16_t lengths[fixedLiteralCount];
    int s = 0;
    for (; s < 144; ++s) lengths[s] = 8;
    for (; s < 256; ++s) lengths[s] = 9;
    for (; s < 280; ++s) lengths[s] = 7;
    for (; s < fixedLiteralCount; ++s) lengths[s] = 8;
    inflateBuildTable(fixedLiteralTable, lengths, fixedLiteralCount);
    // Thirty symbols only: codes 11110 and 11111 stay unmatched and fail with -10.
    for (s = 0; s < maxDistanceLengths; ++s) lengths[s] = 5;
    inflateBuildTable(fixedDistanceTable, lengths, maxDistanceLengths);
}

// A literal/length or distance code is usable when complete, empty, or a lone code of length 1.
bool usableCode(int buildResult, const HuffmanTable& table, int count) {
    if (buildResult < 0) return false;
    return buildResult == 0 || table.lengthCounts[0] + table.lengthCounts[1] == count;
}

}  // namespace

int inflateReadBits(InflateContext& context, int count) {
    while (context.bitCount < count) {
        if (context.sourceCount == context.sourceLength) return inflateSourceEnd;
        context.bitBuffer |= std::uint32_t{context.source[context.sourceCount++]} << context.bitCount;
        context.bitCount += 8;
    }
    const int value = static_cast<int>(context.bitBuffer & ((1u << count) - 1u));
    context.bitBuffer >>= count;
    context.bitCount -= count;
    return value;
}

int inflateDecodeSymbol(InflateContext& context, const HuffmanTable& table) {
    std::uint32_t bits = context.bitBuffer;
    int pending = context.bitCount;
    int code = 0;   // bits read so far, first bit most significant
    int first = 0;  // first code of the current length
    int index = 0;  // position in symbols of the first symbol of the current length
    for (int length = 1; length <= maxCodeLength; ++length) {
        if (pending == 0) {
            if (context.sourceCount == context.sourceLength) return inflateSourceEnd;
            bits = context.source[context.sourceCount++];
            pending = 8;
        }
        code |= static_cast<int>(bits & 1u);
        bits >>= 1;
        --pending;
        const int count = table.lengthCounts[length];
        if (code < first + count) {
            context.bitBuffer = bits;
            context.bitCount = pending;
            return table.symbols[index + code - first];
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    // Decided on the fifteenth bit: no further byte is taken.
    return -10;
}

int inflateBuildTable(HuffmanTable& table, const std::int16_t* lengths, int count) {
    std::int16_t* counts = table.lengthCounts;
    for (int length = 0; length <= maxCodeLength; ++length) counts[length] = 0;
    for (int s = 0; s < count; ++s) ++counts[lengths[s]];
    if (counts[0] == count) return 0;

    int left = 1;  // codes still free at the current length
    for (int length = 1; length <= maxCodeLength; ++length) {
        left = 2 * left - counts[length];
        if (left < 0) return left;
    }

    std::int16_t offsets[maxCodeLength + 1];
    offsets[1] = 0;
    for (int length = 1; length < maxCodeLength; ++length)
        offsets[length + 1] = static_cast<std::int16_t>(offsets[length] + counts[length]);
    for (int s = 0; s < count; ++s) {
        if (lengths[s] != 0) table.symbols[offsets[lengths[s]]++] = static_cast<std::int16_t>(s);
    }
    return left;
}

int inflateStoredBlock(InflateContext& context) {
    // LEN starts at the next byte boundary.
    context.bitBuffer = 0;
    context.bitCount = 0;
    if (context.sourceCount + 4 > context.sourceLength) return 2;

    const std::uint8_t* p = context.source + context.sourceCount;
    const unsigned length = p[0] | (unsigned{p[1]} << 8);
    context.sourceCount += 2;
    // The check bytes are taken one at a time; the first that differs ends the call.
    ++context.sourceCount;
    if (p[2] != (~length & 0xFFu)) return -2;
    ++context.sourceCount;
    if (p[3] != ((~length >> 8) & 0xFFu)) return -2;

    if (context.sourceCount + length > context.sourceLength) return 2;
    if (std::uint64_t{context.destCount} + length > context.destCapacity) return 1;
    if (length != 0) {
        std::memcpy(context.dest + context.destCount, context.source + context.sourceCount, length);
        context.destCount += length;
        context.sourceCount += length;
    }
    return 0;
}

int inflateFixedBlock(InflateContext& context) {
    if (fixedTablesPending) {
        buildFixedTables();
        fixedTablesPending = false;
    }
    return inflateBlockSymbols(context, fixedLiteralTable, fixedDistanceTable);
}

int inflateDynamicBlock(InflateContext& context) {
    std::int16_t literalCounts[maxCodeLength + 1];
    std::int16_t literalSymbols[maxLiteralLengths];
    std::int16_t distanceCounts[maxCodeLength + 1];
    std::int16_t distanceSymbols[maxDistanceLengths];
    std::int16_t lengths[maxLiteralLengths + maxDistanceLengths];
    HuffmanTable literalTable{literalCounts, literalSymbols};
    HuffmanTable distanceTable{distanceCounts, distanceSymbols};
    // The code-length code borrows the literal/length table's storage until that is built.
    HuffmanTable& codeLengthTable = literalTable;

    // All three counts are read before any is checked.
    const int literalBits = inflateReadBits(context, 5);
    if (literalBits < 0) return literalBits;
    const int distanceBits = inflateReadBits(context, 5);
    if (distanceBits < 0) return distanceBits;
    const int codeBits = inflateReadBits(context, 4);
    if (codeBits < 0) return codeBits;
    const int literalCount = literalBits + 257;
    const int distanceCount = distanceBits + 1;
    const int codeCount = codeBits + 4;
    if (literalCount > maxLiteralLengths || distanceCount > maxDistanceLengths) return -3;

    for (int i = 0; i < codeLengthSymbols; ++i) lengths[i] = 0;
    for (int i = 0; i < codeCount; ++i) {
        const int length = inflateReadBits(context, 3);
        if (length < 0) return length;
        lengths[codeLengthOrder[i]] = static_cast<std::int16_t>(length);
    }
    // An empty code-length code passes here and fails at its first decode.
    if (inflateBuildTable(codeLengthTable, lengths, codeLengthSymbols) != 0) return -4;

    const int total = literalCount + distanceCount;
    int index = 0;
    while (index < total) {
        const int symbol = inflateDecodeSymbol(context, codeLengthTable);
        if (symbol < 0) return symbol;
        if (symbol < 16) {
            lengths[index++] = static_cast<std::int16_t>(symbol);
            continue;
        }
        std::int16_t value = 0;
        int run;
        if (symbol == 16) {
            if (index == 0) return -5;
            value = lengths[index - 1];
            run = inflateReadBits(context, 2);
            if (run < 0) return run;
            run += 3;
        } else if (symbol == 17) {
            run = inflateReadBits(context, 3);
            if (run < 0) return run;
            run += 3;
        } else {
            run = inflateReadBits(context, 7);
            if (run < 0) return run;
            run += 11;
        }
        // Runs may cross from the literal/length lengths into the distance lengths.
        if (index + run > total) return -6;
        while (run-- > 0) lengths[index++] = value;
    }

    if (lengths[256] == 0) return -9;
    int result = inflateBuildTable(literalTable, lengths, literalCount);
    if (!usableCode(result, literalTable, literalCount)) return -7;
    result = inflateBuildTable(distanceTable, lengths + literalCount, distanceCount);
    if (!usableCode(result, distanceTable, distanceCount)) return -8;
    return inflateBlockSymbols(context, literalTable, distanceTable);
}

int inflateBlockSymbols(InflateContext& context, const HuffmanTable& literalTable,
                        const HuffmanTable& distanceTable) {
    for (;;) {
        const int symbol = inflateDecodeSymbol(context, literalTable);
        if (symbol < 0) return symbol;
        if (symbol < 256) {
            if (context.destCount == context.destCapacity) return 1;
            context.dest[context.destCount++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        if (symbol == 256) return 0;

        const int lengthIndex = symbol - 257;
        if (lengthIndex >= 29) return -10;  // 286 and 287: only the fixed code has them
        const int lengthExtra = inflateReadBits(context, inflateLengthExtraBits[lengthIndex]);
        if (lengthExtra < 0) return lengthExtra;
        const std::uint32_t length = static_cast<std::uint32_t>(inflateLengthBase[lengthIndex] + lengthExtra);

        const int distanceSymbol = inflateDecodeSymbol(context, distanceTable);
        if (distanceSymbol < 0) return distanceSymbol;
        const int distanceExtra = inflateReadBits(context, inflateDistanceExtraBits[distanceSymbol]);
        if (distanceExtra < 0) return distanceExtra;
        const std::uint32_t distance =
            static_cast<std::uint32_t>(inflateDistanceBase[distanceSymbol] + distanceExtra);

        // -11: the distance reaches before the first byte produced in this call.
        if (distance > context.destCount) return -11;
        if (std::uint64_t{context.destCount} + length > context.destCapacity) return 1;
        std::uint8_t* out = context.dest + context.destCount;
        const std::uint8_t* from = out - distance;
        if (distance >= length) {
            std::memcpy(out, from, length);
        } else {
            // Overlapping copy: repeats the bytes just written.
            for (std::uint32_t i = 0; i < length; ++i) out[i] = from[i];
        }
        context.destCount += length;
    }
}

InflateResult referenceInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                               std::uint64_t* sourceLen) {
    InflateContext context{dest, *destLen, 0, source, *sourceLen, 0, 0, 0};
    int result;
    int last;
    do {
        last = inflateReadBits(context, 1);
        if (last < 0) {
            result = last;
            break;
        }
        const int type = inflateReadBits(context, 2);
        switch (type) {
            case 0:
                result = inflateStoredBlock(context);
                break;
            case 1:
                result = inflateFixedBlock(context);
                break;
            case 2:
                result = inflateDynamicBlock(context);
                break;
            case 3:
                result = -1;
                break;
            default:
                result = type;
                break;  // inflateSourceEnd
        }
    } while (result == 0 && last == 0);

    if (result == inflateSourceEnd) result = 2;
    if (result <= 0) {
        *destLen = context.destCount;
        *sourceLen = context.sourceCount;
    }
    return static_cast<InflateResult>(result);
}

}  // namespace reference

}  // namespace korvel
