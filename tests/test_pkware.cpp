#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "chain_patterns.h"
#include "dcl_writer.h"
#include "formats/pkware/pkware_decoder_internal.h"
#include "formats/pkware/pkware_unpacker.h"
#include "test_support.h"

using namespace korvel;

namespace {

// Input handed over in blocks of `chunk` bytes; `pos` is how much the decoder has asked for.
struct Feed {
    const Bytes& data;
    std::size_t chunk;
    std::size_t pos = 0;
};

std::uint32_t feedInput(void* context, const std::uint8_t** next) {
    auto& feed = *static_cast<Feed*>(context);
    const std::size_t count = std::min(feed.chunk, feed.data.size() - feed.pos);
    *next = feed.data.data() + feed.pos;
    feed.pos += count;
    return static_cast<std::uint32_t>(count);
}

struct Sink {
    std::size_t stopOnCall = 0;  // 1-based call that asks to stop; 0: never
    Bytes bytes{};
    std::vector<std::uint32_t> calls{};
};

int sinkOutput(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto& sink = *static_cast<Sink*>(context);
    sink.bytes.insert(sink.bytes.end(), bytes, bytes + count);
    sink.calls.push_back(count);
    return sink.calls.size() == sink.stopOnCall ? 1 : 0;
}

struct Outcome {
    int result;
    Bytes output;
    std::vector<std::uint32_t> calls;
    std::size_t consumed;
};

Outcome explode(const Bytes& stream, std::size_t chunk = std::numeric_limits<std::size_t>::max(),
                std::size_t stopOnCall = 0) {
    Feed feed{stream, chunk};
    Sink sink{stopOnCall};
    const int result = dclExplode(feedInput, &feed, sinkOutput, &sink);
    return {result, sink.bytes, sink.calls, feed.pos};
}

Bytes repeated(std::size_t count, std::uint8_t value) { return Bytes(count, value); }
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Output call sizes for `total` bytes: full windows, then the remainder if any.
std::vector<std::uint32_t> blockCalls(std::size_t total) {
    std::vector<std::uint32_t> calls(total / 4096, 4096);
    if (total % 4096 != 0) calls.push_back(static_cast<std::uint32_t>(total % 4096));
    return calls;
}

struct KnownStream {
    Bytes stream;
    int result;
    Bytes output;
    std::size_t consumed;  // bytes read when fed one at a time
};

const std::vector<KnownStream>& knownStreams() {
    static const std::vector<KnownStream> rows = {
        {{0x00, 0x04, 0x01, 0xFF}, 0, {}, 4},
        {{0x00, 0x04, 0x01, 0xFF, 0x12, 0x34}, 0, {}, 4},  // bytes after the end code stay unread
        {{0x00, 0x04, 0x82, 0x02, 0xFE, 0x01}, 0, text("A"), 6},
        {{0x01, 0x04, 0xE2, 0x80, 0x7F}, 0, text("A"), 5},
        {{0x01, 0x05, 0x76, 0xC0, 0x3F}, 0, text("e"), 5},
        {{0x00, 0x04, 0x82, 0x24, 0x25, 0x8F, 0x80, 0x7F}, 0, text("AIAIAIAIAIAIA"), 8},
        {{0x00, 0x04, 0x82, 0x08, 0xED, 0x05, 0xFC, 0x03}, 0, text("ABAB"), 8},
        {{0x00, 0x06, 0x82, 0x08, 0xED, 0x05, 0xFC, 0x03}, 0, text("ABAB"), 8},
        {{0x00, 0x05, 0x82, 0x02, 0xFC, 0x07, 0x01, 0xFF}, 0, repeated(519, 'A'), 8},
        {{0x00, 0x04, 0x1F, 0x02, 0xFE, 0x01}, -3, {}, 4},
        {{0x00, 0x04, 0x82, 0x00}, 2, text("A"), 4},
        {{0x02, 0x04, 0x01, 0xFF}, -1, {}, 1},
        {{0x01, 0x07}, -2, {}, 2},
        {{0x00, 0x03, 0x01, 0xFF}, -2, {}, 2},
        {{0x00}, 2, {}, 1},
        {{0x00, 0x06}, 2, {}, 2},
        {{}, 2, {}, 0},
    };
    return rows;
}

TEST(DclExplode, KnownStreams) {
    for (const auto& row : knownStreams()) {
        SCOPED_TRACE(::testing::PrintToString(row.stream));
        const Outcome whole = explode(row.stream);
        EXPECT_EQ(whole.result, row.result);
        EXPECT_EQ(whole.output, row.output);
        EXPECT_EQ(whole.calls, blockCalls(row.output.size()));
        const Outcome bytewise = explode(row.stream, 1);
        EXPECT_EQ(bytewise.result, row.result);
        EXPECT_EQ(bytewise.output, row.output);
        EXPECT_EQ(bytewise.consumed, row.consumed);
    }
}

TEST(DclWriter, ReproducesKnownStreams) {
    EXPECT_EQ(DclWriter(0, 4).end(), knownStreams()[0].stream);
    EXPECT_EQ(DclWriter(0, 4).literal('A').end(), knownStreams()[2].stream);
    EXPECT_EQ(DclWriter(1, 4).literal('A').end(), knownStreams()[3].stream);
    EXPECT_EQ(DclWriter(1, 5).literal('e').end(), knownStreams()[4].stream);
    EXPECT_EQ(DclWriter(0, 4).literal('A').literal('I').match(11, 2).end(), knownStreams()[5].stream);
    EXPECT_EQ(DclWriter(0, 6).literal('A').literal('B').match(2, 2).end(), knownStreams()[7].stream);
    EXPECT_EQ(DclWriter(0, 5).literal('A').match(518, 1).end(), knownStreams()[8].stream);
}

TEST(DclTables, FixedCodesHaveTheirLengthCounts) {
    struct Row {
        const dcl::HuffmanTable& table;
        std::vector<std::int16_t> counts;  // lengths 0..13
    };
    const Row rows[] = {
        {dclLiteralCode(), {0, 0, 0, 0, 1, 11, 20, 21, 16, 7, 5, 10, 91, 74}},
        {dclLengthCode(), {0, 0, 1, 3, 3, 4, 3, 2, 0, 0, 0, 0, 0, 0}},
        {dclDistanceCode(), {0, 0, 1, 0, 2, 4, 15, 26, 16, 0, 0, 0, 0, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::vector<std::int16_t>(row.table.lengthCounts, row.table.lengthCounts + 14), row.counts);
    }
    EXPECT_EQ(dclLiteralCode().symbols[0], ' ');  // the only 4-bit literal code
}

TEST(DclTables, BuildRejectsBadListsAndIncompleteCodesYieldNoSymbol) {
    std::int16_t counts[14];
    std::int16_t symbols[256];
    dcl::HuffmanTable table{counts, symbols};
    const std::uint8_t tooLong[] = {0x0E};
    EXPECT_FALSE(dclBuildTable(table, tooLong, 1));
    const Bytes tooMany(17, 0xF1);  // 272 symbols
    EXPECT_FALSE(dclBuildTable(table, tooMany.data(), 17));

    const std::uint8_t oneSymbol[] = {0x01};  // symbol 0 with the 1-bit code 0, sent as a 1-bit
    ASSERT_TRUE(dclBuildTable(table, oneSymbol, 1));
    for (const auto& [input, expected] : std::vector<std::pair<Bytes, int>>{
             {{0xFF}, 0}, {{0x00, 0x00}, dclNoSymbol}, {{0x00}, dclNoInput}}) {
        Feed feed{input, 1};
        ExplodeState state;
        dclInitState(state, feedInput, &feed, sinkOutput, nullptr);
        EXPECT_EQ(dclDecodeSymbol(state, table), expected);
    }
}

// Applies the same items as the writer to a plain vector.
struct Script {
    DclWriter writer;
    Bytes expected;
    void literal(std::uint8_t value) {
        writer.literal(value);
        expected.push_back(value);
    }
    void match(unsigned length, unsigned distance) {
        writer.match(length, distance);
        for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
    }
};

TEST(DclExplode, EveryLengthAndDistanceSymbolInEveryMode) {
    const unsigned lengths[] = {3,  4,  5,  6,  7,  8,   9,   10,  11,  12,  15, 16,
                                23, 24, 39, 40, 71, 72, 135, 136, 263, 264, 518};
    for (int mode : {0, 1}) {
        for (int dictionary : {4, 5, 6}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " dictionary " << dictionary);
            Script script{DclWriter(mode, dictionary), {}};
            for (unsigned byte = 0; byte < 256; ++byte) script.literal(static_cast<std::uint8_t>(byte));
            for (std::uint8_t byte : randomBytes(4200, 7)) script.literal(byte);
            // Both ends of every distance symbol's range, with every length symbol; the
            // distances exceed windowPos once the first window is out, so the copies wrap.
            std::size_t item = 0;
            for (unsigned high = 0; high < 64; ++high) {
                for (unsigned end = 0; end < 2; ++end) {
                    const unsigned distance = (high << dictionary) + 1 + end * ((1u << dictionary) - 1);
                    script.match(lengths[item++ % std::size(lengths)], distance);
                    script.match(2, std::min(distance, 256u));
                }
            }
            const Bytes stream = script.writer.end();
            const Outcome outcome = explode(stream, 7);
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.output, script.expected);
            EXPECT_EQ(outcome.calls, blockCalls(script.expected.size()));
            EXPECT_EQ(outcome.consumed, stream.size());
        }
    }
}

TEST(DclExplode, OutputCallsAtWindowBoundaries) {
    struct Row {
        unsigned literals;
        unsigned matched;  // bytes then added by distance-1 matches
    };
    // 4096 exactly: one call and no final one; a match may end the window too.
    for (const Row row : {Row{4096, 0}, Row{4097, 0}, Row{1, 4095}, Row{8200, 0}, Row{4090, 300}}) {
        Script script{DclWriter(0, 6), {}};
        for (std::uint8_t byte : randomBytes(row.literals, row.literals)) script.literal(byte);
        for (unsigned left = row.matched; left > 0;) {
            const unsigned length = std::min(518u, left);
            script.match(length, 1);
            left -= length;
        }
        const Outcome outcome = explode(script.writer.end());
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.output, script.expected);
        EXPECT_EQ(outcome.calls, blockCalls(row.literals + row.matched));
    }
}

TEST(DclExplode, StopRequests) {
    Script big{DclWriter(1, 5), {}};
    for (std::uint8_t byte : textBytes(5000, 3)) big.literal(byte);
    Script matchAcross{DclWriter(0, 4), {}};
    for (int i = 0; i < 4000; ++i) matchAcross.literal('x');
    matchAcross.match(518, 1);
    Script small{DclWriter(0, 4), {}};
    for (int i = 0; i < 100; ++i) small.literal('y');
    const Bytes smallCut = small.writer.unfinished();

    struct Row {
        Bytes stream;
        std::size_t stopOnCall;
        int result;
        std::vector<std::uint32_t> calls;
    };
    const Row rows[] = {
        {big.writer.end(), 1, 1, {4096}},           // no final call after a stop
        {matchAcross.writer.end(), 1, 1, {4096}},   // rest of the match dropped
        {small.writer.end(), 1, 1, {100}},          // stop on the final call turns 0 into 1
        {smallCut, 1, 2, {100}},                    // ... but never changes a failure
    };
    for (const auto& row : rows) {
        const Outcome outcome = explode(row.stream, 1000, row.stopOnCall);
        EXPECT_EQ(outcome.result, row.result);
        EXPECT_EQ(outcome.calls, row.calls);
    }
}

TEST(DclExplode, RoundTripsCompressedData) {
    for (const Bytes& data : {randomBytes(20000, 11), textBytes(60000, 12), concat({textBytes(9000, 13), repeated(3000, 0)})}) {
        for (int mode : {0, 1}) {
            for (int dictionary : {4, 5, 6}) {
                const Outcome outcome = explode(dclCompress(data, mode, dictionary), 4093);
                EXPECT_EQ(outcome.result, 0);
                EXPECT_EQ(outcome.output, data);
            }
        }
    }
}

// tryUnpack over a stream placed after some junk, so currentOffset matters.
struct Attempt {
    bool found;
    Bytes output;
    std::uint8_t spare;
    std::uint32_t size;
};

// With the dry run on, a stream's bytes are produced only when they will be saved; the
// decoder alone produces them up to the capacity.
Attempt tryAt(const Bytes& stream, std::uint32_t capacity, bool dryRun = false) {
    const Bytes junk = {0x09, 0x07, 0x03};
    ScopedScanInput input(concat({junk, stream}), capacity);
    input.state.currentOffset = junk.size();
    input.state.dryRuns = dryRun;
    PkwareUnpacker unpacker(input.state);
    const bool found = unpacker.tryUnpack();
    return {found, found ? input.output() : Bytes{}, input.spareOutputByte(), input.state.outputSize};
}

TEST(PkwareUnpacker, KnownStreams) {
    for (const auto& row : knownStreams()) {
        SCOPED_TRACE(::testing::PrintToString(row.stream));
        const Attempt attempt = tryAt(row.stream, 0x100000);
        EXPECT_EQ(attempt.found, row.result == 0);
        EXPECT_EQ(attempt.output, row.result == 0 ? row.output : Bytes{});
    }
}

// The unpacker answers the two header checks itself: it must agree with the decoder for every
// pair of header bytes, and for a lone byte at the end of the input.
TEST(PkwareUnpacker, HeaderChecksAgreeWithTheDecoder) {
    const Bytes body = {0x82, 0x02, 0xFE, 0x01};  // a literal and the end code, in mode 0
    for (int mode = 0; mode < 256; ++mode) {
        for (int dictionary = 0; dictionary < 256; ++dictionary) {
            const Bytes stream = concat({Bytes{static_cast<std::uint8_t>(mode), static_cast<std::uint8_t>(dictionary)}, body});
            const int result = explode(stream).result;
            ASSERT_EQ(tryAt(stream, 0x10000).found, result == 0) << mode << " " << dictionary;
        }
        ScopedScanInput lone({static_cast<std::uint8_t>(mode)}, 0x10000);
        ASSERT_FALSE(PkwareUnpacker(lone.state).tryUnpack()) << mode;
    }
}

TEST(PkwareUnpacker, OutputBufferLimits) {
    const Bytes large = textBytes(1536 * 1024, 21);
    const Bytes largeStream = dclCompress(large, 1, 6);
    const Bytes mid = randomBytes(9000, 22);
    const Bytes midStream = dclCompress(mid, 0, 5);
    const Bytes empty = DclWriter(0, 4).end();
    const Bytes truncated(largeStream.begin(), largeStream.end() - 1000);
    struct Row {
        const Bytes& stream;
        std::uint32_t capacity;
        bool found;
        std::size_t size;  // of the output prefix expected
        const Bytes& content;
    };
    const Row rows[] = {
        {largeStream, 0x100000, true, 0x100000, large},
        {midStream, 5000, true, 5000, mid},  // capacity reached mid-block
        {midStream, 9000, true, 9000, mid},  // stream ends exactly at capacity
        {midStream, 9001, true, 9000, mid},
        {midStream, 0, false, 0, mid},
        {empty, 0, true, 0, mid},
        {truncated, 0x200000, false, 0, large},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "capacity " << row.capacity);
        const Attempt attempt = tryAt(row.stream, row.capacity);
        EXPECT_EQ(attempt.found, row.found);
        if (row.found) {
            EXPECT_EQ(attempt.output, Bytes(row.content.begin(), row.content.begin() + row.size));
        }
        EXPECT_EQ(attempt.spare, 0);
        const Attempt dry = tryAt(row.stream, row.capacity, true);
        EXPECT_EQ(dry.found, row.found);
        if (row.found) {
            EXPECT_EQ(dry.size, row.size);
        }
    }
}

TEST(PkwareUnpacker, InputBeyondFourGiBIsHandedOverInFull) {
    constexpr std::uint64_t size = 0x100000000ull + 10;
    void* mapping = mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) GTEST_SKIP() << "cannot reserve the address space";
    auto* view = static_cast<std::uint8_t*>(mapping);
    const Bytes& stream = knownStreams()[2].stream;  // decodes to "A"
    std::copy(stream.begin(), stream.end(), view + 5);

    ScopedScanInput scope({}, 16);
    scope.state.inputView = view;
    scope.state.inputSize = size;
    scope.state.currentOffset = 5;
    PkwareUnpacker unpacker(scope.state);
    EXPECT_TRUE(unpacker.tryUnpack());
    EXPECT_EQ(scope.output(), text("A"));
    // The decoder took the first block; the rest follows, then the end.
    const std::uint8_t* next = nullptr;
    EXPECT_EQ(PkwareUnpacker::readInput(&unpacker, &next), size - 5 - 0xFFFFFFFFu);
    EXPECT_EQ(next, view + 5 + 0xFFFFFFFFull);
    EXPECT_EQ(PkwareUnpacker::readInput(&unpacker, &next), 0u);
    munmap(mapping, size + 1);
}

}  // namespace

namespace {

// Every offset of inputs where many offsets start long walks, with the dry run alone and the
// decoder alone: the same answer, size and end. The chains make walks from many offsets meet.
TEST(PkwareDryRun, AnswersAsTheDecoderAtEveryOffset) {
    // Streams of each mode and dictionary, of sizes around a window's, ending at every bit of a byte.
    Bytes streams = randomBytes(30, 41);
    for (int variant = 0; variant < 24; ++variant) {
        const Bytes plain = concat({textBytes(3000 + 397 * variant, 42 + variant), repeated(variant * 50, 'z')});
        const Bytes stream = dclCompress(plain, variant % 2, 4 + variant % 3);
        // Whole, and cut short with its end code lost.
        streams = concat({streams, stream, randomBytes(7, 43), Bytes(stream.begin(), stream.end() - 5)});
    }
    // Exactly a window or two (the last window fills the buffer as the end code comes), and
    // matches reaching one byte too far back or just far enough.
    streams = concat({streams, dclCompress(textBytes(4096, 45), 1, 6), dclCompress(textBytes(8192, 46), 0, 4),
                      DclWriter(0, 4).literal('a').match(3, 2).literal('b').end(),
                      DclWriter(1, 5).literal('a').literal('b').match(3, 2).literal('c').end()});
    const std::pair<const char*, Bytes> inputs[] = {
        {"binary literal chain", repeatedTo(dclBinaryLiteralChainPeriod(), 6300)},
        {"ASCII literal chain", repeatedTo(dclChainPeriod(1, false), 6300)},
        {"ASCII match chain", repeatedTo(dclChainPeriod(1, true), 6300)},
        {"binary match chain", repeatedTo(dclChainPeriod(0, true), 6300)},
        {"streams", streams},
        {"random with headers", [] {
             Bytes data = randomBytes(12000, 44);
             for (std::size_t at = 0; at + 1 < data.size(); at += 5) {
                 data[at] = static_cast<std::uint8_t>(at % 2);
                 data[at + 1] = static_cast<std::uint8_t>(4 + at % 3);
             }
             return data;
         }()},
        {"runs of every byte", runsOfEveryByte(100)},
    };
    for (const auto& [name, input] : inputs) {
        for (const std::uint32_t capacity : {0u, 1u, 4095u, 4096u, 5000u, 1u << 20}) {
            ScopedScanInput dry(input, capacity), plain(input, capacity);
            plain.state.dryRuns = false;
            dry.state.keepBytes = false;  // the dry run answers alone: no stream's bytes are wanted
            PkwareUnpacker dryUnpacker(dry.state), plainUnpacker(plain.state);
            for (std::size_t offset = 0; offset < input.size(); ++offset) {
                dry.state.currentOffset = plain.state.currentOffset = offset;
                dry.state.inputEnd = plain.state.inputEnd = 0;
                const bool found = dryUnpacker.tryUnpack();
                ASSERT_EQ(found, plainUnpacker.tryUnpack()) << name << ", capacity " << capacity << ", offset " << offset;
                if (!found) continue;
                ASSERT_EQ(dry.state.outputSize, plain.state.outputSize) << name << ", capacity " << capacity << ", offset " << offset;
                ASSERT_EQ(dry.state.inputEnd, plain.state.inputEnd) << name << ", capacity " << capacity << ", offset " << offset;
            }
        }
    }
}

TEST(PkwareEndToEnd, SavesStreamFoundInsideAFile) {
    TempDir dir;
    const Bytes content = textBytes(20000, 31);
    const Bytes stream = dclCompress(content, 1, 6);
    writeFile(dir.file("input.bin"), concat({Bytes(16, 0xFF), stream, Bytes(16, 0xFF)}));
    const RunResult run = runKorvel({"-pkware", "input.bin"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.standardOutput.find("PKWare: Succeeded uncompressing 20000 bytes at: 16 (0x10)\n"), std::string::npos)
        << run.standardOutput;
    ASSERT_TRUE(fileExists(dir.file("!OutPKWare/00000010")));
    EXPECT_EQ(readFile(dir.file("!OutPKWare/00000010")), content);
}

}  // namespace
