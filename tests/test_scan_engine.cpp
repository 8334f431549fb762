// The scan engine: what one worker hands the sink, and that any number of workers hand it exactly
// the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "chain_patterns.h"
#include "compressors.h"
#include "format_samples.h"
#include "engine/mapped_input.h"
#include "engine/scan_engine.h"
#include "formats/format_table.h"
#include "recording_sink.h"
#include "test_support.h"

using namespace korvel;

namespace {

// Streams of every format between junk, text and zeros: many finds, spurious ones included.
const Bytes& mixedInput() {
    static const Bytes input = [] {
        const Bytes plain = textBytes(3000, 1);
        Bytes bytes = randomBytes(700, 2);
        std::vector<Bytes> streams;
        for (const FormatDescriptor& format : formatTable()) {
            const auto samples = sampleStreams(format, plain);
            if (!samples.empty()) streams.push_back(samples.front());
        }
        streams.push_back(lzoCompress(textBytes(40000, 3)));
        streams.push_back(deflateRaw(textBytes(40000, 6)));
        for (const Bytes& stream : streams)
            bytes = concat({bytes, stream, textBytes(500, 4), Bytes(300, 0), randomBytes(400, 5)});
        // Long runs of one value, which are screened once, that end in what makes streams
        // start inside them: deflate's empty stored block of zeros before a last one; LZO's
        // first 238 literals of 0xff and an end code, 239 bytes before it; NRV2B's 0xff control
        // bytes and literals that lead into a stream.
        const Bytes afterZeros = {0xff, 0xff, 0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b', 'c'};
        const Bytes lzoEnd = {0x11, 0x00, 0x00};
        const Bytes ucl = sampleStreams(*findFormat("ucl2b"), plain).front();
        for (unsigned length = 400; length < 464; length += 7) {
            for (const Bytes& run : {concat({Bytes(length, 0), afterZeros}), concat({Bytes(length, 0xff), lzoEnd}),
                                     concat({Bytes(length, 0xff), ucl})})
                bytes = concat({bytes, run, randomBytes(50, length)});
        }
        bytes.push_back(0);  // the spare byte after the input
        return bytes;
    }();
    return input;
}

std::vector<const FormatDescriptor*> allFormats() {
    std::vector<const FormatDescriptor*> formats;
    for (const auto& format : formatTable()) formats.push_back(&format);
    return formats;
}

struct Scan {
    ScanOutcome outcome;
    std::vector<SinkEvent> events;
    std::vector<std::uint64_t> passed;
    bool passedTooEarly;
};

Scan scan(const ScanSettings& settings, unsigned failEvery = 0, unsigned sinkStopsAfter = 0) {
    RecordingSink sink(failEvery, sinkStopsAfter);
    const Bytes& input = mixedInput();
    const ScanOutcome outcome = runScan(input.data(), input.size() - 1, settings, sink);
    return {outcome, std::move(sink.events), std::move(sink.passedOffsets), sink.passedTooEarly};
}

std::size_t count(const std::vector<SinkEvent>& events, SinkEvent::Kind kind) {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [&](const SinkEvent& event) { return event.kind == kind; }));
}

TEST(ScanEngineTest, AnyNumberOfWorkersHandsTheSinkTheSameResults) {
    const struct {
        const char* name;
        std::uint32_t skip, capacity, stopAfter;
        std::uint64_t start;
        unsigned failEvery;
        bool keepBytes;
        bool keepSurroundings = false;
        unsigned sinkStopsAfter = 0;  // the sink's own limit, counting every event
    } cases[] = {
        {"defaults", 0, 1 << 20, 0, 0, 0, true},
        {"skip", 2000, 1 << 20, 0, 0, 0, true},
        {"stop", 8, 1 << 20, 5, 0, 0, true},
        {"start offset", 0, 1 << 20, 0, 5000, 0, true},
        {"small buffer", 0, 4096, 0, 0, 0, true},  // exhausted buffers among the results
        {"write failures do not count toward the stop", 100, 1 << 20, 4, 0, 2, true},
        {"sizes only", 0, 1 << 20, 0, 0, 0, false},
        {"sizes and surroundings", 0, 4096, 0, 0, 0, false, true},
        {"the sink stops the scan", 8, 1 << 20, 0, 0, 0, true, false, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScanSettings settings;
        settings.formats = allFormats();
        settings.sizes = {c.skip, c.capacity};
        settings.stopAfter = c.stopAfter;
        settings.startOffset = c.start;
        settings.keepBytes = c.keepBytes;
        settings.keepSurroundings = c.keepSurroundings;
        const Scan alone = scan(settings, c.failEvery, c.sinkStopsAfter);
        ASSERT_GT(alone.events.size(), 3u);
        // The sink hears how far the scan has come, in order, up to the end of the input.
        EXPECT_TRUE(std::is_sorted(alone.passed.begin(), alone.passed.end()));
        EXPECT_FALSE(alone.passedTooEarly);
        if (alone.outcome.status == ScanOutcome::Status::Finished) {
            ASSERT_FALSE(alone.passed.empty());
            EXPECT_EQ(alone.passed.back(), mixedInput().size() - 1);
        }
        if (c.sinkStopsAfter != 0) {
            EXPECT_EQ(alone.outcome.status, ScanOutcome::Status::Stopped);
            EXPECT_EQ(alone.events.size(), c.sinkStopsAfter);
        } else if (c.stopAfter != 0) {
            EXPECT_EQ(alone.outcome.status, ScanOutcome::Status::Stopped);
            EXPECT_EQ(count(alone.events, SinkEvent::Saved), c.stopAfter);
            EXPECT_EQ(alone.events.back().kind, SinkEvent::Saved);
        } else {
            EXPECT_EQ(alone.outcome.status, ScanOutcome::Status::Finished);
        }
        for (const auto& event : alone.events) {
            EXPECT_EQ(event.before.empty() && event.after.empty(), !c.keepSurroundings);
            EXPECT_GE(event.offset, c.start);
            EXPECT_GT(event.size, c.skip);
            EXPECT_EQ(event.kind == SinkEvent::Exhausted, event.size >= c.capacity);
            if (event.kind != SinkEvent::Exhausted) {
                EXPECT_EQ(event.bytes.size(), c.keepBytes ? event.size : 0u);
            }
        }
        if (c.failEvery != 0) {
            EXPECT_GT(count(alone.events, SinkEvent::WriteFailed), 0u);
        }
        if (c.capacity < 8192) {
            EXPECT_GT(count(alone.events, SinkEvent::Exhausted), 0u);
        }

        // Tiny chunks put many chunk edges, and many workers' results, between the events; tiny
        // budgets make workers wait for room, until their chunk is the head; with no join budget
        // the dry runs keep only their first landmarks.
        const struct {
            std::uint64_t chunk, inFlight;
            std::size_t copyBudget, joinBudget = 0;
        } shapes[] = {{97, 4, 64 << 20}, {4096, 4, 64 << 20}, {97, 1, 0}, {4096, 2, 5000, 1}};
        for (const auto& shape : shapes) {
            for (const unsigned jobs : {2u, 3u, 8u}) {
                SCOPED_TRACE(testing::Message() << jobs << " jobs, chunks of " << shape.chunk << ", " << shape.inFlight
                                                << " in flight, copy budget " << shape.copyBudget
                                                << ", join budget " << shape.joinBudget);
                settings.jobs = jobs;
                settings.chunkSize = shape.chunk;
                settings.chunksInFlightPerJob = shape.inFlight;
                settings.copyBudget = shape.copyBudget;
                settings.joinBudget = shape.joinBudget;
                const Scan together = scan(settings, c.failEvery, c.sinkStopsAfter);
                EXPECT_EQ(together.outcome.status, alone.outcome.status);
                ASSERT_EQ(together.events.size(), alone.events.size());
                EXPECT_TRUE(together.events == alone.events);
                // Whichever thread commits, the sink hears of a chunk's end between its results
                // and the next chunk's.
                EXPECT_FALSE(together.passedTooEarly);
                EXPECT_TRUE(std::is_sorted(together.passed.begin(), together.passed.end()));
            }
        }
    }
}

TEST(ScanEngineTest, FindsAreTheUnpackersAnswersInOffsetAndFormatOrder) {
    ScanSettings settings;
    settings.formats = allFormats();
    settings.sizes = {0, 1 << 20};
    settings.keepSurroundings = true;
    const Scan found = scan(settings);
    const Bytes& input = mixedInput();
    ScopedScanInput state(Bytes(input.begin(), input.end() - 1), 1 << 20);
    std::vector<std::unique_ptr<Unpacker>> unpackers;
    for (const auto* format : settings.formats) unpackers.push_back(format->makeUnpacker(state.state));
    std::vector<SinkEvent> expected;
    for (std::uint64_t offset = 0; offset + 1 < input.size(); ++offset) {
        state.state.currentOffset = offset;
        for (std::size_t i = 0; i < unpackers.size(); ++i) {
            state.state.inputEnd = 0;
            if (!unpackers[i]->tryUnpack() || state.state.outputSize == 0) continue;
            ASSERT_GT(state.state.inputEnd, offset);
            ASSERT_LE(state.state.inputEnd, input.size() - 1);
            // The bytes around the stream, as far as the input goes.
            const std::uint64_t end = state.state.inputEnd, size = input.size() - 1;
            const auto from = input.begin() + static_cast<long>(offset);
            const auto to = input.begin() + static_cast<long>(end);
            const Bytes before(from - static_cast<long>(std::min<std::uint64_t>(offset, StreamSurroundings::beforeCapacity)), from);
            const Bytes after(to, to + static_cast<long>(std::min<std::uint64_t>(size - end, StreamSurroundings::afterCapacity)));
            expected.push_back({SinkEvent::Saved, settings.formats[i]->name, offset, state.state.outputSize,
                                state.output(), end, before, after});
        }
    }
    ASSERT_EQ(found.events.size(), expected.size());
    EXPECT_TRUE(found.events == expected);
}

// Three bytes in four zero, as in the padded segments and tables of executables, the rest random.
Bytes mostlyZeros(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = generator() % 4 == 0 ? static_cast<std::uint8_t>(generator()) : 0;
    return bytes;
}

// Screening: a clear bit promises that the decoder finds nothing at that offset, whatever the
// capacity. Every offset of inputs that reach every way a screen decides, at block starts of
// every alignment; and each screen must spare most attempts on random bytes and on mostly
// zeros, or it is no use.
TEST(ScreenTest, AClearBitIsAnOffsetWhereTheDecoderFindsNothing) {
    const Bytes random = randomBytes(20000, 41);
    // Every way the tests make streams of every format, of text and of runs (whose first match
    // repeats the last offset), each after junk of a different length.
    Bytes streams;
    for (const FormatDescriptor& format : formatTable()) {
        for (const Bytes& plain : {textBytes(3000, 44), Bytes(3000, 'a'), repeatedTo({'a', 'b', 'c'}, 3000)}) {
            for (const Bytes& stream : sampleStreams(format, plain))
                streams = concat({streams, randomBytes(streams.size() % 61, 45), stream});
        }
    }
    std::vector<std::pair<std::string, Bytes>> inputs = {
        {"streams", concat({streams, randomBytes(Unpacker::screenReach, 46)})},
        {"mixed", Bytes(mixedInput().begin(), mixedInput().end() - 1)},
        {"random", random},
        {"text", textBytes(8000, 42)},
        {"machine code", wholeExecutable(16000)},
        {"mostly zeros", mostlyZeros(16000, 47)},
        {"runs of every byte", runsOfEveryByte(100)},
        {"periodic", periodicPatterns(8000, 43)}};
    for (const Bytes& period : {storedChainPeriod(), fixedChainPeriod(true), dynamicChainPeriod(false),
                                fixedMatchChainPeriod(), dclBinaryLiteralChainPeriod(), lzoLiteralRunChainPeriod(),
                                nrv2LiteralChainPeriod()})
        inputs.push_back({"chain", repeatedTo(period, 3000)});
    // What each screen spares at least, by input and format: a weaker screen fails here. (Not on
    // the test binary's own code, which each build lays out in its own way.)
    const std::map<std::pair<std::string, std::string>, double> sparedAtLeast = {
        {{"random", "Deflate"}, 0.6},         {{"random", "PKWare"}, 0.95},      {{"random", "LZO"}, 0.8},
        {{"random", "UCL2B"}, 0.91},          {{"random", "UCL2D"}, 0.88},       {{"mostly zeros", "LZO"}, 0.3},
        {{"mostly zeros", "Deflate"}, 0.93}};
    for (const FormatDescriptor& format : formatTable()) {
        for (const auto& [name, input] : inputs) {
            for (const std::uint32_t capacity : {0u, 9u, 1u << 20}) {
                ScopedScanInput scope(input, capacity);
                scope.state.sizes.skipSize = 0;
                const auto unpacker = format.makeUnpacker(scope.state);
                std::size_t screened = 0, spared = 0;
                for (std::uint64_t first = capacity % 64; first + Unpacker::screenReach <= input.size();
                     first += Unpacker::screenBlock) {
                    const std::uint64_t possible = unpacker->screen(input.data() + first);
                    for (unsigned bit = 0; bit < Unpacker::screenBlock; ++bit) {
                        ++screened;
                        if ((possible >> bit & 1) != 0) continue;
                        ++spared;
                        scope.state.currentOffset = first + bit;
                        ASSERT_FALSE(unpacker->tryDecoderAlone())
                            << format.name << " on " << name << " at " << first + bit << " capacity " << capacity;
                    }
                }
                const auto expected = sparedAtLeast.find({name, format.name});
                if (expected != sparedAtLeast.end()) {
                    EXPECT_GE(static_cast<double>(spared) / static_cast<double>(screened), expected->second)
                        << format.name << " on " << name;
                }
            }
        }
    }
}

// Decoding one stream again gives what the scan found, and a shrinking input ends it cleanly.
TEST(StreamDecoderTest, DecodesWhatTheScanFoundAndSurvivesAShrinkingInput) {
    ScanSettings settings;
    settings.formats = allFormats();
    settings.sizes = {0, 1 << 20};
    const Scan found = scan(settings);
    const Bytes& input = mixedInput();
    StreamDecoder decoder(input.data(), input.size() - 1, settings);
    std::span<const std::uint8_t> bytes;
    for (std::size_t i = 0; i < found.events.size(); i += 7) {
        const SinkEvent& event = found.events[i];
        const FormatDescriptor& format = *findFormat(event.format.c_str());
        ASSERT_EQ(decoder.decode(format, event.offset, event.size, bytes), StreamDecoder::Outcome::Decoded) << event.offset;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), event.bytes.begin(), event.bytes.end())) << event.offset;
        EXPECT_EQ(decoder.decode(format, event.offset, event.size + 1, bytes), StreamDecoder::Outcome::NotFound);
    }
    std::array<std::uint64_t, 256> counts;
    ASSERT_EQ(decoder.countBytes(10, 20, counts), StreamDecoder::Outcome::Decoded);
    std::array<std::uint64_t, 256> expected{};
    for (std::size_t i = 10; i < 20; ++i) ++expected[input[i]];
    EXPECT_EQ(counts, expected);

    // A file that shrinks under its mapping: reads past its new end end the decode, every later
    // call too, and the process lives on.
    TempDir dir;
    const Bytes stream = lzoCompress(textBytes(200000, 7));
    writeFile(dir.file("in.bin"), concat({randomBytes(8192, 8), stream}));
    MappedInput mapped;
    ASSERT_EQ(mapped.open(dir.file("in.bin").c_str()), MappedInput::OpenResult::Opened);
    StreamDecoder shrinking(mapped.data(), mapped.size(), settings);
    ASSERT_EQ(truncate(dir.file("in.bin").c_str(), 4096), 0);
    EXPECT_EQ(shrinking.decode(*findFormat("lzo"), 8192, 200000, bytes), StreamDecoder::Outcome::InputChanged);
    EXPECT_EQ(shrinking.countBytes(0, 100, counts), StreamDecoder::Outcome::InputChanged);
}

}  // namespace
