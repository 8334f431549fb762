#include "formats/pkware/pkware_decoder.h"

#include "formats/pkware/pkware_decoder_internal.h"

namespace korvel {

// Symbol 0 is length 3 and symbol 1 length 2: the shortest code goes to the commonest length.
const std::int16_t dcl::lengthBase[16] = {3, 2, 4, 5, 6, 7, 8, 9, 10, 12, 16, 24, 40, 72, 136, 264};
const std::int8_t dcl::lengthExtraBits[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};

namespace {

// The fixed codes as compact lists (see dclBuildTable).
const std::uint8_t literalCodeLengths[98] = {
    11,  124, 8,   7,   28,  7,   188, 13,  76,  4,   10,  8,   12,  10,  12,  10,  8,   23,  8,   9,
    7,   6,   7,   8,   7,   6,   55,  8,   23,  24,  12,  11,  7,   9,   11,  12,  6,   7,   22,  5,
    7,   24,  6,   11,  9,   6,   7,   22,  7,   11,  38,  7,   9,   8,   25,  11,  8,   11,  9,   12,
    8,   12,  5,   38,  5,   38,  5,   11,  7,   5,   6,   21,  6,   10,  53,  8,   7,   24,  10,  27,
    44,  253, 253, 253, 252, 252, 252, 13,  12,  45,  12,  45,  12,  61,  12,  45,  44,  173};
const std::uint8_t lengthCodeLengths[6] = {2, 35, 36, 53, 38, 23};
const std::uint8_t distanceCodeLengths[7] = {2, 20, 53, 230, 247, 151, 248};

// The three fixed codes, built from their compact lists once, thread-safely, on first use.
struct FixedCodes {
    std::int16_t literalCounts[dclMaxCodeLength + 1];
    std::int16_t literalSymbols[256];
    std::int16_t lengthCounts[dclMaxCodeLength + 1];
    std::int16_t lengthSymbols[16];
    std::int16_t distanceCounts[dclMaxCodeLength + 1];
    std::int16_t distanceSymbols[64];
    dcl::HuffmanTable literal{literalCounts, literalSymbols};
    dcl::HuffmanTable length{lengthCounts, lengthSymbols};
    dcl::HuffmanTable distance{distanceCounts, distanceSymbols};

    FixedCodes() {
        dclBuildTable(literal, literalCodeLengths, sizeof literalCodeLengths);
        dclBuildTable(length, lengthCodeLengths, sizeof lengthCodeLengths);
        dclBuildTable(distance, distanceCodeLengths, sizeof distanceCodeLengths);
    }
};

const FixedCodes& fixedCodes() {
    static const FixedCodes codes;
    return codes;
}

// Hands out the full window. False when the output function asked to stop.
bool dclFlushWindow(ExplodeState& state) {
    if (state.outFn(state.outCtx, state.window, dclWindowSize) != 0) return false;
    state.windowPos = 0;
    state.firstWindow = 0;
    return true;
}

// Appends `length` bytes copied from `distance` (1..4096) bytes back, wrapping at the window's
// end. False when the output function asked to stop; the rest of the match is then dropped.
bool dclCopyMatch(ExplodeState& state, std::uint32_t length, std::uint32_t distance) {
    while (length > 0) {
        std::uint32_t source;
        std::uint32_t room;
        if (state.windowPos >= distance) {
            source = state.windowPos - distance;
            room = dclWindowSize - state.windowPos;
        } else {
            // The source lies in the older part of the window, from the previous 4096 bytes.
            source = state.windowPos - distance + dclWindowSize;
            room = distance - state.windowPos;
        }
        const std::uint32_t run = room < length ? room : length;
        length -= run;
        // Byte by byte: an overlapping source must repeat the bytes just written.
        for (std::uint32_t i = 0; i < run; ++i) state.window[state.windowPos + i] = state.window[source + i];
        state.windowPos += run;
        if (state.windowPos == dclWindowSize && !dclFlushWindow(state)) return false;
    }
    return true;
}

}  // namespace

const dcl::HuffmanTable& dclLiteralCode() { return fixedCodes().literal; }

const dcl::HuffmanTable& dclLengthCode() { return fixedCodes().length; }

const dcl::HuffmanTable& dclDistanceCode() { return fixedCodes().distance; }

void dclInitState(ExplodeState& state, DclInputFn inFn, void* inCtx, DclOutputFn outFn, void* outCtx) {
    state.inFn = inFn;
    state.inCtx = inCtx;
    state.inNext = nullptr;
    state.inLeft = 0;
    state.bitBuffer = 0;
    state.bitCount = 0;
    state.outFn = outFn;
    state.outCtx = outCtx;
    state.windowPos = 0;
    state.firstWindow = 1;
    // The window is left as it is: no byte is read before it was written.
}

int dclReadBits(ExplodeState& state, int n) {
    // A byte is fetched only once one of its bits is needed, so bytes after the end code stay unread.
    while (state.bitCount < n) {
        if (state.inLeft == 0) {
            state.inLeft = state.inFn(state.inCtx, &state.inNext);
            if (state.inLeft == 0) return dclNoInput;
        }
        state.bitBuffer |= static_cast<std::uint32_t>(*state.inNext) << state.bitCount;
        ++state.inNext;
        --state.inLeft;
        state.bitCount += 8;
    }
    const int value = static_cast<int>(state.bitBuffer & ((1u << n) - 1u));
    state.bitBuffer >>= n;
    state.bitCount -= n;
    return value;
}

int dclDecodeSymbol(ExplodeState& state, const dcl::HuffmanTable& table) {
    int code = 0;
    int first = 0;
    int index = 0;
    for (int length = 1; length <= dclMaxCodeLength; ++length) {
        const int bit = dclReadBits(state, 1);
        if (bit < 0) return bit;
        code |= 1 - bit;  // stream bits are the inverted code bits
        const int count = table.lengthCounts[length];
        if (code < first + count) return table.symbols[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return dclNoSymbol;
}

bool dclBuildTable(dcl::HuffmanTable& table, const std::uint8_t* list, std::uint32_t listLength) {
    std::uint8_t codeLengths[256];
    int symbolCount = 0;
    for (std::uint32_t i = 0; i < listLength; ++i) {
        const int length = list[i] & 0x0F;
        const int run = (list[i] >> 4) + 1;
        if (length > dclMaxCodeLength || symbolCount + run > 256) return false;
        for (int r = 0; r < run; ++r) codeLengths[symbolCount++] = static_cast<std::uint8_t>(length);
    }

    for (int length = 0; length <= dclMaxCodeLength; ++length) table.lengthCounts[length] = 0;
    for (int symbol = 0; symbol < symbolCount; ++symbol) ++table.lengthCounts[codeLengths[symbol]];

    int next[dclMaxCodeLength + 1];
    next[1] = 0;
    for (int length = 1; length < dclMaxCodeLength; ++length) next[length + 1] = next[length] + table.lengthCounts[length];
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        if (codeLengths[symbol] != 0) table.symbols[next[codeLengths[symbol]]++] = static_cast<std::int16_t>(symbol);
    }
    return true;
}

DclResult dclDecodeBody(ExplodeState& state) {
    const FixedCodes& codes = fixedCodes();

    const int literalMode = dclReadBits(state, 8);
    if (literalMode < 0) return dclInputEnded;
    if (literalMode > 1) return dclBadLiteralMode;
    const int dictionaryCode = dclReadBits(state, 8);
    if (dictionaryCode < 0) return dclInputEnded;
    if (dictionaryCode < 4 || dictionaryCode > 6) return dclBadDictionary;

    // The fixed codes are complete, so a negative symbol can only mean the end of input.
    for (;;) {
        const int flag = dclReadBits(state, 1);
        if (flag < 0) return dclInputEnded;

        if (flag == 0) {
            const int literal = literalMode == 1 ? dclDecodeSymbol(state, codes.literal) : dclReadBits(state, 8);
            if (literal < 0) return dclInputEnded;
            state.window[state.windowPos++] = static_cast<std::uint8_t>(literal);
            if (state.windowPos == dclWindowSize && !dclFlushWindow(state)) return dclStopped;
            continue;
        }

        const int lengthSymbol = dclDecodeSymbol(state, codes.length);
        if (lengthSymbol < 0) return dclInputEnded;
        const int extra = dclReadBits(state, dcl::lengthExtraBits[lengthSymbol]);
        if (extra < 0) return dclInputEnded;
        const int length = dcl::lengthBase[lengthSymbol] + extra;
        if (length == dclEndOfStreamLength) return dclComplete;

        // Length-2 matches always carry 2 low distance bits, whatever the dictionary code.
        const int lowBits = length == 2 ? 2 : dictionaryCode;
        const int high = dclDecodeSymbol(state, codes.distance);
        if (high < 0) return dclInputEnded;
        const int low = dclReadBits(state, lowBits);
        if (low < 0) return dclInputEnded;
        const auto distance = static_cast<std::uint32_t>((high << lowBits) + low + 1);
        // Only the first window can lack history; later ones always hold 4096 earlier bytes.
        if (state.firstWindow && distance > state.windowPos) return dclBadDistance;
        if (!dclCopyMatch(state, static_cast<std::uint32_t>(length), distance)) return dclStopped;
    }
}

DclResult dclExplode(DclInputFn inFn, void* inCtx, DclOutputFn outFn, void* outCtx, std::uint32_t* unread) {
    ExplodeState state;
    dclInitState(state, inFn, inCtx, outFn, outCtx);
    DclResult result = dclDecodeBody(state);
    // Whatever was decoded is handed out, even after a failure; not after a stop request.
    if (result != dclStopped && state.windowPos != 0) {
        if (state.outFn(state.outCtx, state.window, state.windowPos) != 0 && result == dclComplete) result = dclStopped;
    }
    if (unread != nullptr) *unread = state.inLeft;
    return result;
}

}  // namespace korvel
