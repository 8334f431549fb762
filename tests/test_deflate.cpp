// Raw deflate decoder (and the reference it is held to) and unpacker: hand-built streams reaching
// each result code.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "canonical_codes.h"
#include "chain_patterns.h"
#include "formats/deflate/deflate_decoder.h"
#include "formats/deflate/deflate_unpacker.h"
#include "reference_inflate.h"
#include "test_support.h"

using namespace korvel;

namespace {

// Fixed-code symbols (RFC 1951, 3.2.6).
void fixedSymbol(BitWriter& w, int symbol) {
    if (symbol < 144)
        w.code(0x30 + symbol, 8);
    else if (symbol < 256)
        w.code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        w.code(symbol - 256, 7);
    else
        w.code(0xC0 + symbol - 280, 8);
}

BitWriter fixedBlockStart(bool final = true) {
    BitWriter w;
    w.bits(final ? 1 : 0, 1).bits(1, 2);
    return w;
}

void writeCode(BitWriter& w, const std::vector<Code>& codes, int symbol) {
    ASSERT_NE(codes.at(symbol).length, 0) << "symbol " << symbol << " has no code";
    w.code(codes[symbol].value, codes[symbol].length);
}

constexpr int storageOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Dynamic block header up to the code-length code. `codeLengthLengths` is indexed by symbol;
// the first codeCount of them in storage order are written.
BitWriter dynamicHeader(int literalCount, int distanceCount, int codeCount,
                        const std::array<int, 19>& codeLengthLengths, bool final = true) {
    BitWriter w;
    w.bits(final ? 1 : 0, 1).bits(2, 2);
    w.bits(literalCount - 257, 5).bits(distanceCount - 1, 5).bits(codeCount - 4, 4);
    for (int i = 0; i < codeCount; ++i) w.bits(codeLengthLengths[storageOrder[i]], 3);
    return w;
}

// A complete code-length code where every symbol has a code: 0..12 of length 4, 13..18 of 5.
constexpr std::array<int, 19> everyCodeLength = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};

const std::vector<Code>& everyCodeLengthCodes() {
    static const std::vector<Code> codes =
        canonicalCodes(std::vector<int>(everyCodeLength.begin(), everyCodeLength.end()));
    return codes;
}

// One code-length item: a length 0..15, or a run symbol 16..18 with its extra bits.
void codeLengthItem(BitWriter& w, int symbol, std::uint32_t extra = 0) {
    writeCode(w, everyCodeLengthCodes(), symbol);
    if (symbol == 16) w.bits(extra, 2);
    if (symbol == 17) w.bits(extra, 3);
    if (symbol == 18) w.bits(extra, 7);
}

std::vector<int> lengthsWith(std::size_t count, std::initializer_list<std::pair<int, int>> set) {
    std::vector<int> lengths(count, 0);
    for (auto [symbol, length] : set) lengths.at(symbol) = length;
    return lengths;
}

struct DynamicCodes {
    std::vector<Code> literal;
    std::vector<Code> distance;
};

// Header of a dynamic block whose code lengths are written one item each, no runs.
DynamicCodes dynamicBlock(BitWriter& w, const std::vector<int>& literalLengths,
                          const std::vector<int>& distanceLengths, bool final = true) {
    w = dynamicHeader(static_cast<int>(literalLengths.size()), static_cast<int>(distanceLengths.size()), 19,
                      everyCodeLength, final);
    for (int length : literalLengths) codeLengthItem(w, length);
    for (int length : distanceLengths) codeLengthItem(w, length);
    return {canonicalCodes(literalLengths), canonicalCodes(distanceLengths)};
}

Bytes hex(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct InflateOutcome {
    int result;
    std::uint32_t destLen;
    std::uint64_t sourceLen;
    Bytes output;    // the first destLen bytes of the destination
    bool guardKept;  // nothing written past the capacity
};

using Decoder = InflateResult (*)(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint64_t*);

// The product decoder, and the reference it is held to elsewhere: the tables pin down both.
struct NamedDecoder {
    const char* name;
    Decoder decode;
};
constexpr NamedDecoder decoders[] = {{"rawInflate", rawInflate}, {"referenceInflate", referenceInflate}};

InflateOutcome inflate(const Bytes& input, std::uint32_t capacity, Decoder decoder = rawInflate) {
    constexpr std::uint8_t guard = 0xEE;
    Bytes dest(std::size_t{capacity} + 1, guard);
    Bytes source(input);  // exact-size heap copy, so sanitizers catch reads past the end
    InflateOutcome out{};
    out.destLen = capacity;
    out.sourceLen = source.size();
    out.result = decoder(dest.data(), &out.destLen, source.data(), &out.sourceLen);
    if (out.destLen <= capacity) out.output.assign(dest.begin(), dest.begin() + out.destLen);
    out.guardKept = dest[capacity] == guard;
    return out;
}

constexpr std::uint32_t roomy = 4096;

struct EdgeCase {
    const char* name;
    Bytes input;
    int result;
    Bytes output = {};        // produced bytes, for results 0 and below
    std::uint64_t taken = 0;  // bytes taken, for results 0 and below
    std::uint32_t capacity = roomy;
};

std::vector<EdgeCase> edgeCases() {
    std::vector<EdgeCase> cases;
    auto add = [&](EdgeCase c) { cases.push_back(std::move(c)); };

    add({"fixed block holding only end-of-block", hex({0x03, 0x00}), 0, {}, 2});
    add({"end-of-block cut short", hex({0x03}), 2, {}, 0});
    add({"bytes after the final block ignored", hex({0x03, 0x00, 0xFF, 0xFF}), 0, {}, 2});
    add({"final empty stored block", hex({0x01, 0x00, 0x00, 0xFF, 0xFF}), 0, {}, 5});
    add({"stored check: fourth byte differs", hex({0x01, 0x00, 0x00, 0xFF, 0xFE}), -2, {}, 5});
    add({"stored check: third byte differs", hex({0x01, 0x00, 0x00, 0xFE, 0xFF}), -2, {}, 4});
    const Bytes storedHeader = hex({0x01, 0x05, 0x00, 0xFA, 0xFF});  // final, five bytes
    add({"stored five bytes", concat({storedHeader, text("hello!")}), 0, text("hello"), 10});
    add({"stored payload cut short", concat({storedHeader, text("hell")}), 2, {}, 0});
    add({"stored length field cut short", Bytes(storedHeader.begin(), storedHeader.end() - 1), 2, {}, 0});
    add({"stored block does not fit", concat({storedHeader, text("hello")}), 1, {}, 0, 4});
    add({"stored block fits exactly", concat({storedHeader, text("hello")}), 0, text("hello"), 10, 5});
    add({"block type 3, final", hex({0x07, 0x00}), -1, {}, 1});
    add({"block type 3, not final", hex({0x06}), -1, {}, 1});
    add({"non-final stored block ends the input", hex({0x00, 0x00, 0x00, 0xFF, 0xFF}), 2, {}, 0});
    add({"non-final fixed block ends the input", hex({0x02, 0x00}), 2, {}, 0});
    add({"stored then fixed block",
         concat({hex({0x00, 0x02, 0x00, 0xFD, 0xFF}), text("ab"), hex({0x03, 0x00})}), 0, text("ab"), 9});

    {  // 'a' then length 10 at distance 1
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 'a');
        fixedSymbol(w, 264);
        w.code(0, 5);
        fixedSymbol(w, 256);
        const Bytes stream = w.bytes();
        add({"match repeats the byte just written", stream, 0, Bytes(11, 'a'), stream.size()});
        add({"match fits exactly", stream, 0, Bytes(11, 'a'), stream.size(), 11});
        add({"match does not fit", stream, 1, {}, 0, 10});
        add({"literal into a full destination", stream, 1, {}, 0, 0});
    }
    {  // 'a' 'b' then length 3 at distance 2: the distance equals the bytes produced
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 'a');
        fixedSymbol(w, 'b');
        fixedSymbol(w, 257);
        w.code(1, 5);
        fixedSymbol(w, 256);
        add({"distance equal to the output so far", w.bytes(), 0, text("ababa"), w.bytes().size()});
    }
    {  // stored "xy", then a fixed block reaching back into it
        BitWriter w;
        w.bits(0, 3).bits(0, 5).raw(hex({0x02, 0x00, 0xFD, 0xFF})).raw(text("xy"));
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 258);
        w.code(1, 5);
        fixedSymbol(w, 256);
        add({"match reaches into an earlier block", w.bytes(), 0, text("xyxyxy"), w.bytes().size()});
    }
    {  // a match before any output
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 257);
        w.code(0, 5);
        fixedSymbol(w, 256);
        add({"match as the first item", w.bytes(), -11, {}, 2});
    }
    {  // 'a' then a distance of 2
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 'a');
        fixedSymbol(w, 257);
        w.code(1, 5);
        add({"distance one past the output, no room", w.bytes(), -11, text("a"), 3, 1});
    }
    for (int symbol : {286, 287}) {
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 'z');
        fixedSymbol(w, symbol);
        w.bits(0xFF, 8);  // never reached
        add({symbol == 286 ? "length symbol 286" : "length symbol 287", w.bytes(), -10, text("z"), 3});
    }
    for (std::uint32_t distanceCode : {0x1Eu, 0x1Fu}) {
        // Literal 200 (9 bits), length 281 (8 bits) with 5 extra bits, then the unmatched
        // distance code: its fifteenth bit is the last bit of byte 5.
        BitWriter w = fixedBlockStart();
        fixedSymbol(w, 200);
        fixedSymbol(w, 281);
        w.bits(0, 5);
        w.code(distanceCode, 5).bits(0x3FF, 10);
        const Bytes stream = w.bytes();
        EXPECT_EQ(stream.size(), 5u);
        const bool thirty = distanceCode == 0x1E;
        add({thirty ? "distance code 30" : "distance code 31", concat({stream, hex({0xAB, 0xCD})}), -10,
             hex({200}), 5});
        const Bytes cut(stream.begin(), stream.end() - 1);
        add({thirty ? "distance code 30, input ends first" : "distance code 31, input ends first", cut, 2});
    }
    return cases;
}

TEST(RawInflate, EdgeCases) {
    for (const EdgeCase& c : edgeCases()) {
        for (const NamedDecoder& decoder : decoders) {
            SCOPED_TRACE(std::string(decoder.name) + ": " + c.name);
            const InflateOutcome out = inflate(c.input, c.capacity, decoder.decode);
            EXPECT_EQ(out.result, c.result);
            EXPECT_TRUE(out.guardKept);
            if (c.result == 1 || c.result == 2) {
                // Neither length is written back.
                EXPECT_EQ(out.destLen, c.capacity);
                EXPECT_EQ(out.sourceLen, c.input.size());
            } else {
                EXPECT_EQ(out.output, c.output);
                EXPECT_EQ(out.sourceLen, c.taken);
            }
        }
    }
}

// An item of a hand-built block body: a literal/length symbol ('L'), a distance symbol ('D'),
// or `bits` raw bits of `value` ('B').
struct Item {
    char kind;
    int value;
    int bits = 0;
};

void writeBody(BitWriter& w, const DynamicCodes& codes, std::initializer_list<Item> body) {
    for (const Item& item : body) {
        if (item.kind == 'L') writeCode(w, codes.literal, item.value);
        if (item.kind == 'D') writeCode(w, codes.distance, item.value);
        if (item.kind == 'B') w.bits(static_cast<std::uint32_t>(item.value), item.bits);
    }
}

// A final dynamic block with these code lengths, one code-length item each, then `body`.
Bytes dynamicStream(const std::vector<int>& literalLengths, const std::vector<int>& distanceLengths,
                    std::initializer_list<Item> body = {}) {
    BitWriter w;
    writeBody(w, dynamicBlock(w, literalLengths, distanceLengths), body);
    return w.bytes();
}

// A final dynamic block whose code lengths are sent as code-length items {symbol, extra bits}.
Bytes dynamicStreamWithRuns(int literalCount, int distanceCount,
                            std::initializer_list<std::pair<int, int>> lengthItems, const DynamicCodes& codes,
                            std::initializer_list<Item> body) {
    BitWriter w = dynamicHeader(literalCount, distanceCount, 19, everyCodeLength);
    for (auto [symbol, extra] : lengthItems) codeLengthItem(w, symbol, static_cast<std::uint32_t>(extra));
    writeBody(w, codes, body);
    return w.bytes();
}

struct DynamicCase {
    const char* name;
    Bytes input;
    int result;
    Bytes output = {};
    std::uint64_t taken = 0;  // 0: the whole input
};

std::vector<DynamicCase> dynamicCases() {
    // Literal 'A', end-of-block and length 257 (length 3): a complete literal/length code.
    const std::vector<int> aEndMatch = lengthsWith(258, {{'A', 1}, {256, 2}, {257, 2}});
    const std::vector<int> aAndEnd = lengthsWith(257, {{'A', 1}, {256, 1}});
    auto counts = [](int literalCount, int distanceCount) {
        return dynamicHeader(literalCount, distanceCount, 4, {}).bytes();
    };
    auto codeLengthCode = [](std::initializer_list<int> symbols, int codeCount) {
        std::array<int, 19> lengths{};
        for (int symbol : symbols) lengths[symbol] = 1;
        return concat({dynamicHeader(257, 1, codeCount, lengths).bytes(), Bytes(8, 0)});
    };
    BitWriter noCodes = dynamicHeader(257, 1, 8, {});  // 17 + 8 * 3 bits
    noCodes.bits(0x7FFF, 15);                          // the fifteenth unmatched bit ends byte 7
    const Bytes noCodesBytes = noCodes.bytes();
    const Bytes noCodesCut(noCodesBytes.begin(), noCodesBytes.begin() + 6);
    const Bytes allCounts = counts(288, 32);
    BitWriter repeatFirst = dynamicHeader(257, 1, 19, everyCodeLength);
    writeCode(repeatFirst, everyCodeLengthCodes(), 16);  // its extra bits are never read
    BitWriter twoBlocks;
    writeBody(twoBlocks, dynamicBlock(twoBlocks, aAndEnd, {0}, false), {{'L', 'A'}, {'L', 256}});
    twoBlocks.bits(1, 1).bits(1, 2);
    fixedSymbol(twoBlocks, 257);
    twoBlocks.code(0, 5);
    fixedSymbol(twoBlocks, 256);

    return {
        {"287 literal/length lengths", counts(287, 1), -3, {}, 3},
        {"288 literal/length lengths", counts(288, 1), -3, {}, 3},
        {"31 distance lengths", counts(257, 31), -3, {}, 3},
        {"32 distance lengths", counts(286, 32), -3, {}, 3},
        // 13 of the 17 count bits: the last count is still read before the check.
        {"counts cut short before the check", Bytes(allCounts.begin(), allCounts.begin() + 2), 2},
        {"code-length code incomplete", codeLengthCode({0}, 4), -4, {}, 4},
        {"code-length code over-subscribed", codeLengthCode({0, 8, 7}, 6), -4, {}, 5},
        {"code-length code with no codes", concat({noCodesBytes, hex({0xFF, 0xFF})}), -10, {}, 7},
        {"code-length code with no codes, input ends first", noCodesCut, 2},
        {"repeat as the first length", repeatFirst.bytes(), -5},
        // 138 + 119 lengths leave two of 259; the zero run of three overshoots.
        {"run past the last length", dynamicStreamWithRuns(258, 1, {{18, 127}, {18, 108}, {17, 0}}, {}, {}),
         -6},
        // 'A', 256, 257, 258 and distances 0..3 all of length 2: the repeat at 257 runs over
        // 257, 258 and the four distance lengths.
        {"repeat crosses into the distance lengths",
         dynamicStreamWithRuns(259, 4, {{18, 54}, {2, 0}, {18, 127}, {18, 41}, {2, 0}, {16, 3}},
                               {canonicalCodes(lengthsWith(259, {{'A', 2}, {256, 2}, {257, 2}, {258, 2}})),
                                canonicalCodes({2, 2, 2, 2})},
                               {{'L', 'A'}, {'L', 257}, {'D', 0}, {'L', 256}}),
         0, text("AAAA")},
        // The repeat at the first distance length copies the 2 of symbol 257.
        {"repeat at the first distance length",
         dynamicStreamWithRuns(258, 4, {{18, 54}, {1, 0}, {18, 127}, {18, 41}, {2, 0}, {2, 0}, {16, 1}},
                               {canonicalCodes(aEndMatch), canonicalCodes({2, 2, 2, 2})},
                               {{'L', 'A'}, {'L', 257}, {'D', 0}, {'L', 256}}),
         0, text("AAAA")},
        {"end-of-block without a code, lengths also over-subscribed",
         dynamicStream(lengthsWith(257, {{0, 1}, {1, 1}, {2, 1}}), {1}), -9},
        {"both codes over-subscribed: literal/length reported",
         dynamicStream(lengthsWith(257, {{0, 1}, {1, 1}, {256, 1}}), {1, 1, 1}), -7},
        {"literal/length code incomplete", dynamicStream(lengthsWith(257, {{0, 1}, {256, 2}}), {1, 1}), -7},
        {"lone end-of-block code of length 1", dynamicStream(lengthsWith(257, {{256, 1}}), {0}, {{'L', 256}}),
         0},
        {"distance code over-subscribed", dynamicStream(aAndEnd, {1, 1, 1}), -8},
        {"lone distance code of length 2", dynamicStream(aAndEnd, {0, 2}), -8},
        {"lone distance code of length 1",
         dynamicStream(aEndMatch, {1}, {{'L', 'A'}, {'L', 257}, {'D', 0}, {'L', 256}}), 0, text("AAAA")},
        {"no distance codes: literals only",
         dynamicStream(aAndEnd, {0, 0}, {{'L', 'A'}, {'L', 'A'}, {'L', 256}}), 0, text("AA")},
        {"no distance codes: a length symbol fails",
         dynamicStream(aEndMatch, {0}, {{'L', 'A'}, {'L', 257}, {'B', 0, 15}}), -10, text("A")},
        {"non-final dynamic block then a final fixed one", twoBlocks.bytes(), 0, text("AAAA")},
    };
}

TEST(RawInflate, DynamicHeaders) {
    for (const DynamicCase& c : dynamicCases()) {
        for (const NamedDecoder& decoder : decoders) {
            SCOPED_TRACE(std::string(decoder.name) + ": " + c.name);
            const Bytes& input = c.input;
            const InflateOutcome out = inflate(input, roomy, decoder.decode);
            EXPECT_EQ(out.result, c.result);
            if (c.result <= 0) {
                EXPECT_EQ(out.output, c.output);
                EXPECT_EQ(out.sourceLen, c.taken != 0 ? c.taken : input.size());
            } else {
                EXPECT_EQ(out.sourceLen, input.size());
            }
        }
    }
}

// What the scanner does all day: an attempt at every offset of data that is mostly not deflate.
TEST(RawInflate, EveryOffsetOfArbitraryBytes) {
    const Bytes input = concat({randomBytes(12000, 8), textBytes(8000, 9), Bytes(300, 0), Bytes(300, 0xFF)});
    constexpr std::uint32_t capacity = 512;
    Bytes dest(capacity + 1);
    int seen[14] = {};
    for (std::size_t offset = 0; offset < input.size(); ++offset) {
        dest[capacity] = 0xEE;
        std::uint32_t destLen = capacity;
        const std::uint64_t available = input.size() - offset;
        std::uint64_t sourceLen = available;
        const int result = rawInflate(dest.data(), &destLen, input.data() + offset, &sourceLen);
        ASSERT_TRUE(result >= -11 && result <= 2) << "offset " << offset;
        ASSERT_EQ(dest[capacity], 0xEE) << "offset " << offset;
        if (result <= 0) {
            ASSERT_LE(destLen, capacity) << "offset " << offset;
            ASSERT_LE(sourceLen, available) << "offset " << offset;
        } else {
            ASSERT_EQ(destLen, capacity) << "offset " << offset;
            ASSERT_EQ(sourceLen, available) << "offset " << offset;
        }
        ++seen[result + 11];
    }
    // The common failures all turn up along the way.
    EXPECT_GT(seen[-1 + 11], 0);
    EXPECT_GT(seen[-2 + 11], 0);
    EXPECT_GT(seen[-4 + 11], 0);
    EXPECT_GT(seen[-11 + 11], 0);
}

struct UnpackCase {
    const char* name;
    Bytes input;
    std::uint64_t offset;
    std::uint32_t capacity;
    bool found;
    Bytes output;  // checked when found
};

// A final stored block of `payload`.
Bytes storedStream(const Bytes& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    return concat({hex({0x01, static_cast<int>(n & 0xFF), static_cast<int>(n >> 8),
                        static_cast<int>(~n & 0xFF), static_cast<int>((~n >> 8) & 0xFF)}),
                   payload});
}

// A final fixed block of literals only.
Bytes fixedLiteralStream(const Bytes& payload) {
    BitWriter w = fixedBlockStart();
    for (std::uint8_t b : payload) fixedSymbol(w, b);
    fixedSymbol(w, 256);
    return w.bytes();
}

TEST(DeflateUnpacker, TryUnpack) {
    const Bytes payload = textBytes(600, 7);
    const Bytes stream = fixedLiteralStream(payload);
    const Bytes junk = randomBytes(16, 3);
    const Bytes openBlock = hex({0x00, 0x01, 0x00, 0xFE, 0xFF, 0x41});  // non-final stored "A"
    // Sixteen bytes announced, eight present: found only if the offset were not subtracted.
    const Bytes shortPayload = concat({junk, hex({0x01, 0x10, 0x00, 0xEF, 0xFF}), Bytes(8, 1)});
    const Bytes fullPayload = concat({junk, storedStream(Bytes(30, 1))});
    const std::vector<UnpackCase> cases = {
        {"stream of exactly the capacity", stream, 0, 600, true, payload},
        {"one byte more than the capacity", stream, 0, 599, true, Bytes(payload.begin(), payload.end() - 1)},
        {"capacity 0, bytes to produce", stream, 0, 0, false, {}},
        {"capacity 0, empty stream", hex({0x03, 0x00}), 0, 0, true, {}},
        {"non-final block ends the input", openBlock, 0, 100, false, {}},
        {"error after some output", concat({openBlock, hex({0x07})}), 0, 100, false, {}},
        {"stream after junk", concat({junk, stream, junk}), 16, 1000, true, payload},
        {"stored payload reaches past the input end", shortPayload, 16, 1000, false, {}},
        {"stored block ends exactly at the input end", fullPayload, 16, 1000, true, Bytes(30, 1)},
    };
    for (const UnpackCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedScanInput scan(c.input, c.capacity);
        DeflateUnpacker unpacker(scan.state);
        scan.state.currentOffset = c.offset;
        EXPECT_EQ(unpacker.tryUnpack(), c.found);
        if (!c.found) continue;
        EXPECT_EQ(scan.state.outputSize, c.output.size());
        // The bytes are there for a stream that will be saved; one that fills the buffer is only
        // reported, by its size.
        if (scan.state.bytesWanted(scan.state.outputSize)) {
            EXPECT_EQ(scan.output(), c.output);
        }
        EXPECT_EQ(scan.state.currentOffset, c.offset);
    }
}

// The unpacker routes attempts between its short attempt, the dry run and the decoder; wherever
// each goes, its answer, size and saved bytes are the decoder's alone.
TEST(DeflateUnpacker, AnswersAlikeWithAndWithoutTheDryRun) {
    const Bytes stream = fixedLiteralStream(textBytes(900, 8));
    const Bytes input = concat({repeatedTo(fixedChainPeriod(true), 3000), stream, repeatedTo(dynamicChainPeriod(true), 4000),
                                stream, repeatedTo(dynamicChainPeriod(false), 3000), randomBytes(200, 9),
                                repeatedTo(storedChainPeriod(), 2000), Bytes(1500, 0x0A), stream});
    for (const std::uint32_t capacity : {0u, 1u, 700u, 1u << 20}) {
        ScopedScanInput dry(input, capacity), plain(input, capacity);
        plain.state.dryRuns = false;
        dry.state.sizes.skipSize = plain.state.sizes.skipSize = 500;  // some streams saved, some only counted
        DeflateUnpacker dryUnpacker(dry.state), plainUnpacker(plain.state);
        std::size_t found = 0;
        for (std::size_t offset = 0; offset < input.size(); ++offset) {
            dry.state.currentOffset = plain.state.currentOffset = offset;
            const bool answer = dryUnpacker.tryUnpack();
            ASSERT_EQ(answer, plainUnpacker.tryUnpack()) << "capacity " << capacity << ", offset " << offset;
            if (!answer) continue;
            ++found;
            ASSERT_EQ(dry.state.outputSize, plain.state.outputSize) << "capacity " << capacity << ", offset " << offset;
            if (dry.state.outputSize < capacity) {
                ASSERT_EQ(dry.state.inputEnd, plain.state.inputEnd) << "capacity " << capacity << ", offset " << offset;
            }
            if (dry.state.bytesWanted(dry.state.outputSize)) {
                ASSERT_EQ(dry.output(), plain.output()) << "capacity " << capacity << ", offset " << offset;
            }
        }
        EXPECT_GT(found, 0u) << "capacity " << capacity;
    }
}

Bytes storedBlocks(const Bytes& payload) {
    Bytes stream;
    for (std::size_t at = 0; at < payload.size(); at += 65535) {
        const Bytes part(payload.begin() + static_cast<std::ptrdiff_t>(at),
                         payload.begin() + static_cast<std::ptrdiff_t>(std::min(at + 65535, payload.size())));
        Bytes block = storedStream(part);
        if (at + 65535 < payload.size()) block[0] = 0x00;  // not final
        stream.insert(stream.end(), block.begin(), block.end());
    }
    return stream;
}

TEST(DeflateEndToEnd, StreamInJunkIsSaved) {
    TempDir dir;
    const Bytes payload = textBytes(3000, 17);
    writeFile(dir.file("in.bin"),
              concat({randomBytes(200, 1), fixedLiteralStream(payload), randomBytes(300, 2)}));
    const RunResult run = runKorvel({"-deflate", "in.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.standardOutput.find("Deflate: Succeeded uncompressing 3000 bytes at: 200 (0xc8)\n"),
              std::string::npos)
        << run.standardOutput;
    ASSERT_TRUE(fileExists(dir.file("!OutDeflate/000000C8")));
    EXPECT_TRUE(readFile(dir.file("!OutDeflate/000000C8")) == payload);
}

TEST(DeflateEndToEnd, StreamLargerThanTheBufferIsReported) {
    TempDir dir;
    const Bytes payload = textBytes((1u << 20) + 1, 23);
    writeFile(dir.file("in.bin"), concat({randomBytes(64, 3), storedBlocks(payload)}));
    const RunResult run = runKorvel({"-mem1", "-deflate", "in.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.standardOutput.find("Deflate: Failed! Output buffer 1 Mb exhausted at: 64 (0x40)\n"),
              std::string::npos)
        << run.standardOutput;
    EXPECT_FALSE(fileExists(dir.file("!OutDeflate/00000040")));
}

}  // namespace
