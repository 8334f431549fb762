// The scan engine: what one worker hands the sink, and that any number of workers hand it exactly
// the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compressors.h"
#include "dcl_writer.h"
#include "engine/scan_engine.h"
#include "recording_sink.h"
#include "test_support.h"

namespace {

// Streams of every format between junk, text and zeros: many finds, spurious ones included.
const Bytes& mixedInput() {
    static const Bytes input = [] {
        const Bytes plain = textBytes(3000, 1);
        Bytes bytes = randomBytes(700, 2);
        for (const Bytes& stream : {deflateRaw(plain), dclCompress(plain), lzoCompress(plain), ucl2bCompress(plain),
                                    ucl2dCompress(plain), lzoCompress(textBytes(40000, 3)), deflateRaw(textBytes(40000, 6))})
            bytes = concat({bytes, stream, textBytes(500, 4), Bytes(300, 0), randomBytes(400, 5)});
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
};

Scan scan(const ScanSettings& settings, unsigned failEvery = 0) {
    RecordingSink sink(failEvery);
    const Bytes& input = mixedInput();
    const ScanOutcome outcome = runScan(input.data(), input.size() - 1, settings, sink);
    return {outcome, std::move(sink.events)};
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
    } cases[] = {
        {"defaults", 0, 1 << 20, 0, 0, 0, true},
        {"skip", 2000, 1 << 20, 0, 0, 0, true},
        {"stop", 8, 1 << 20, 5, 0, 0, true},
        {"start offset", 0, 1 << 20, 0, 5000, 0, true},
        {"small buffer", 0, 4096, 0, 0, 0, true},  // exhausted buffers among the results
        {"write failures do not count toward the stop", 100, 1 << 20, 4, 0, 2, true},
        {"sizes only", 0, 1 << 20, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScanSettings settings;
        settings.formats = allFormats();
        settings.sizes = {c.skip, c.capacity};
        settings.stopAfter = c.stopAfter;
        settings.startOffset = c.start;
        settings.keepBytes = c.keepBytes;
        const Scan alone = scan(settings, c.failEvery);
        ASSERT_GT(alone.events.size(), 3u);
        if (c.stopAfter != 0) {
            EXPECT_EQ(alone.outcome.status, ScanOutcome::Status::Stopped);
            EXPECT_EQ(count(alone.events, SinkEvent::Saved), c.stopAfter);
            EXPECT_EQ(alone.events.back().kind, SinkEvent::Saved);
        } else {
            EXPECT_EQ(alone.outcome.status, ScanOutcome::Status::Finished);
        }
        for (const auto& event : alone.events) {
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

        // Tiny chunks put many chunk edges, and many workers' results, between the events.
        for (const std::uint64_t chunk : {97u, 4096u}) {
            for (const unsigned jobs : {2u, 3u, 8u}) {
                SCOPED_TRACE(testing::Message() << jobs << " jobs, chunks of " << chunk);
                settings.jobs = jobs;
                settings.chunkSize = chunk;
                const Scan together = scan(settings, c.failEvery);
                EXPECT_EQ(together.outcome.status, alone.outcome.status);
                ASSERT_EQ(together.events.size(), alone.events.size());
                EXPECT_TRUE(together.events == alone.events);
            }
        }
    }
}

TEST(ScanEngineTest, FindsAreTheUnpackersAnswersInOffsetAndFormatOrder) {
    ScanSettings settings;
    settings.formats = allFormats();
    settings.sizes = {0, 1 << 20};
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
            expected.push_back({SinkEvent::Saved, settings.formats[i]->name, offset, state.state.outputSize,
                                state.output(), state.state.inputEnd});
        }
    }
    ASSERT_EQ(found.events.size(), expected.size());
    EXPECT_TRUE(found.events == expected);
}

}  // namespace
