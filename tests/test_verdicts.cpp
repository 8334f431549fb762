// Telling real streams from noise: what the bytes around a stream say of it, weighed by how
// likely it is by chance, and the verdicts the judging sink draws from evidence and families.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compressors.h"
#include "engine/scan_engine.h"
#include "formats/format_table.h"
#include "recording_sink.h"
#include "test_support.h"
#include "output/evidence.h"
#include "output/verdicts.h"

using namespace korvel;

namespace {

Bytes littleEndian(std::uint64_t value, unsigned width) {
    Bytes bytes(width);
    for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

Bytes bigEndian(std::uint64_t value, unsigned width) {
    Bytes bytes = littleEndian(value, width);
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

StreamSurroundings surroundings(const Bytes& before, const Bytes& after = {}) {
    StreamSurroundings around;
    std::copy(before.begin(), before.end(), around.before.begin());
    std::copy(after.begin(), after.end(), around.after.begin());
    around.beforeCount = static_cast<std::uint8_t>(before.size());
    around.afterCount = static_cast<std::uint8_t>(after.size());
    return around;
}

EvidenceList sizeEvidence(const StreamSurroundings& around, const SizeQuantities& sizes) {
    std::array<SizeFieldMatch, 16> matches;
    EvidenceList evidence;
    weighSizeFields({matches.data(), findSizeFields(around, sizes, matches)}, evidence);
    return evidence;
}

TEST(EvidenceTest, SizeFieldsCountAsMuchAsTheyAreUnlikelyByChance) {
    const Bytes junk = randomBytes(24, 1);
    const struct {
        const char* name;
        Bytes before, after;
        SizeQuantities sizes;
        bool real;
        EvidenceKind kind;
    } cases[] = {
        {"a 32-bit field holding an unlikely decoded size", concat({junk, littleEndian(41873, 4)}), {}, {20000, 41873, 0},
         true, EvidenceKind::SizeField},
        {"a 16-bit field holding a tiny size", concat({junk, littleEndian(20, 2)}), {}, {15, 20, 0}, false,
         EvidenceKind::SizeField},
        {"a round size, common in any data", concat({junk, littleEndian(4608, 4)}), {}, {3000, 4608, 0}, false,
         EvidenceKind::SizeField},
        {"the same field far from the stream", concat({littleEndian(41873, 4), randomBytes(100, 2)}), {},
         {20000, 41873, 0}, false, EvidenceKind::SizeField},
        {"both sizes side by side", concat({littleEndian(1574, 4), littleEndian(3001, 4), junk}), {}, {1574, 3001, 0},
         true, EvidenceKind::SizePair},
        {"both sizes big-endian, the decoded one first", concat({bigEndian(3001, 4), bigEndian(1574, 4)}), {},
         {1574, 3001, 0}, true, EvidenceKind::SizePair},
        {"both sizes, too far apart for one header",
         concat({littleEndian(1574, 4), randomBytes(40, 3), littleEndian(3001, 4), junk}), {}, {1574, 3001, 0}, false,
         EvidenceKind::SizeField},
        {"the decoded size after the end, behind a checksum", junk, concat({randomBytes(4, 4), littleEndian(604163, 4)}),
         {213066, 604163, 0}, true, EvidenceKind::SizeField},
        {"the length with its wrapper", concat({junk, bigEndian(1580, 2), Bytes{0x78, 0x9c}}), {}, {1574, 3001, 1580},
         false, EvidenceKind::SizeField},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EvidenceList evidence = sizeEvidence(surroundings(c.before, c.after), c.sizes);
        ASSERT_FALSE(evidence.items().empty());
        EXPECT_EQ(evidence.totalBits() >= realEvidenceBits, c.real) << evidence.totalBits();
        EXPECT_EQ(evidence.items()[0].kind, c.kind);
    }
    // Nothing is made of a window that holds no size at all.
    EXPECT_TRUE(sizeEvidence(surroundings(randomBytes(128, 5), randomBytes(64, 6)), {1574, 3001, 0}).items().empty());
}

TEST(EvidenceTest, ValuesAreAsUnlikelyAsTheirSignificantBits) {
    const struct {
        std::uint64_t value;
        unsigned width;
        float atLeast, atMost;
    } cases[] = {
        {20, 2, 4, 9},        // a 16-bit 20 is weak
        {41873, 4, 19, 21},   // a 32-bit 41,873 is strong
        {4096, 4, 0, 6},      // a round value says little
        {0xffff, 4, 0, 6},    // as does an all-ones one
        {1574, 8, 15, 17},    // a wider field is a little less likely
    };
    for (const auto& c : cases) {
        const float bits = valueSurpriseBits(c.value, c.width);
        EXPECT_GE(bits, c.atLeast) << c.value;
        EXPECT_LE(bits, c.atMost) << c.value;
    }
}

TEST(EvidenceTest, WrapperHeadersAndChecksums) {
    // zlib: method 8, a window of at most 32 KiB, a valid check and no preset dictionary.
    EXPECT_TRUE(zlibHeaderBefore(surroundings({0x11, 0x78, 0x9c})));
    EXPECT_TRUE(zlibHeaderBefore(surroundings({0x08, 0x1d})));
    EXPECT_FALSE(zlibHeaderBefore(surroundings({0x78, 0x9d})));  // check fails
    EXPECT_FALSE(zlibHeaderBefore(surroundings({0x78, 0xbb})));  // preset dictionary
    EXPECT_FALSE(zlibHeaderBefore(surroundings({0x88, 0x98})));  // a 64 KiB window
    EXPECT_FALSE(zlibHeaderBefore(surroundings({0x9c})));

    // gzip: the header must end exactly where the stream starts.
    const Bytes plain = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    const Bytes named = {0x1f, 0x8b, 8, 8, 0, 0, 0, 0, 2, 3, 'a', '.', 't', 'x', 't', 0};
    EXPECT_EQ(gzipHeaderLength(surroundings(concat({randomBytes(30, 7), plain}))), plain.size());
    EXPECT_EQ(gzipHeaderLength(surroundings(concat({randomBytes(30, 7), named}))), named.size());
    Bytes reserved = plain;
    reserved[3] = 0x20;
    EXPECT_EQ(gzipHeaderLength(surroundings(reserved)), 0u);
    EXPECT_EQ(gzipHeaderLength(surroundings(concat({plain, Bytes{0}}))), 0u);

    const std::string digits = "123456789", word = "Wikipedia";
    EXPECT_EQ(crc32({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}), 0xcbf43926u);
    EXPECT_EQ(adler32({reinterpret_cast<const std::uint8_t*>(word.data()), word.size()}), 0x11e60398u);
    const Bytes long_ = textBytes(200000, 8);  // past the run after which the sums must be reduced
    EXPECT_EQ(adler32(long_), ::adler32(1, long_.data(), static_cast<uInt>(long_.size())));
    EXPECT_EQ(crc32(long_), ::crc32(0, long_.data(), static_cast<uInt>(long_.size())));

    const Bytes decoded = textBytes(3000, 9);
    EvidenceItem item{};
    EXPECT_TRUE(findChecksum(surroundings(concat({littleEndian(crc32(decoded), 4), randomBytes(6, 10)})), decoded, item));
    EXPECT_EQ(item.checksum, ChecksumKind::Crc32);
    EXPECT_EQ(item.field.place.distance, 6);
    EXPECT_GE(item.bits, realEvidenceBits);
    EXPECT_TRUE(findChecksum(surroundings({}, bigEndian(adler32(decoded), 4)), decoded, item));
    EXPECT_EQ(item.checksum, ChecksumKind::Adler32);
    EXPECT_TRUE(item.field.place.afterEnd && item.field.place.bigEndian);
    EXPECT_FALSE(findChecksum(surroundings(randomBytes(128, 11), randomBytes(64, 12)), decoded, item));
}

// ---- the judging sink, over inputs whose real streams are known -------------------------------

struct Placed {
    const char* format;
    std::uint64_t offset;
    Bytes plain;
};

struct Judged {
    std::vector<SinkEvent> events;
    std::vector<VerdictCounts> counts;
    bool stopped;
};

// `nextStopsAfter`: the sink after the judge has all it wants after that many (0: never).
Judged judge(const Bytes& input, const JudgingSettings& judging, unsigned nextStopsAfter = 0) {
    ScanSettings settings;
    for (const auto& format : formatTable()) settings.formats.push_back(&format);
    settings.sizes = {0, 1 << 20};
    settings.keepBytes = false;
    settings.keepSurroundings = true;
    const Bytes padded = concat({input, Bytes{0}});
    RecordingSink recorded(0, nextStopsAfter);
    StreamDecoder decoder(padded.data(), input.size(), settings);
    JudgingSink sink(recorded, decoder, settings.formats, judging);
    runScan(padded.data(), input.size(), settings, sink);
    sink.finish();
    return {recorded.events, sink.counts(), sink.stopped()};
}

// Streams between random junk, each after a header of its own.
Bytes build(const std::vector<std::pair<Bytes, Bytes>>& headedStreams, std::vector<std::uint64_t>& offsets,
            std::uint32_t seed) {
    Bytes input = randomBytes(300, seed);
    for (std::size_t i = 0; i < headedStreams.size(); ++i) {
        input = concat({input, headedStreams[i].first});
        offsets.push_back(input.size());
        input = concat({input, headedStreams[i].second, randomBytes(100 + 37 * i, seed + 1 + static_cast<std::uint32_t>(i))});
    }
    return input;
}

std::vector<Placed> placed(const char* format, const std::vector<std::uint64_t>& offsets, const std::vector<Bytes>& plains) {
    std::vector<Placed> result;
    for (std::size_t i = 0; i < offsets.size(); ++i) result.push_back({format, offsets[i], plains[i]});
    return result;
}

Bytes zlibWrapped(const Bytes& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes packed(size);
    compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9);
    packed.resize(size);
    return packed;
}

TEST(JudgingSinkTest, KeepsTheStreamsTheInputCorroboratesAndDropsTheNoise) {
    std::vector<Bytes> plains;
    // Eight: a layout is shared by at least seven streams.
    for (std::uint32_t i = 0; i < 8; ++i) plains.push_back(textBytes(15000 + 900 * i, 20 + i));

    std::vector<std::uint64_t> recordOffsets, zlibOffsets, badOffsets, layoutOffsets, tinyOffsets;
    std::vector<std::pair<Bytes, Bytes>> records, wrapped, badChecksums, laidOut, tiny;
    for (std::size_t i = 0; i < plains.size(); ++i) {
        const Bytes packed = lzoCompress(plains[i]);
        records.push_back({concat({littleEndian(packed.size(), 4), littleEndian(plains[i].size(), 4)}), packed});
        // A header that holds only a round decoded size: evidence only as a layout many share.
        const Bytes page = textBytes(i + 1 == plains.size() ? 3000 : 4096, 40 + static_cast<std::uint32_t>(i));
        laidOut.push_back({concat({Bytes{'N', 'O', 'D', 'E'}, littleEndian(page.size(), 4), Bytes(4, 0)}), lzoCompress(page)});
        const Bytes zlib = zlibWrapped(plains[i]);
        wrapped.push_back({Bytes(zlib.begin(), zlib.begin() + 2), Bytes(zlib.begin() + 2, zlib.end())});
        Bytes wrong = wrapped.back().second;
        wrong.back() ^= 1;  // the Adler-32 no longer matches
        badChecksums.push_back({wrapped.back().first, wrong});
        const Bytes small = textBytes(40, 60 + static_cast<std::uint32_t>(i));
        tiny.push_back({littleEndian(small.size(), 2), lzoCompress(small)});
    }
    std::vector<Bytes> pages;
    for (std::size_t i = 0; i < plains.size(); ++i)
        pages.push_back(textBytes(i + 1 == plains.size() ? 3000 : 4096, 40 + static_cast<std::uint32_t>(i)));

    const struct {
        const char* name;
        Bytes input;
        std::vector<Placed> streams;  // what must be kept, and nothing else
        const char* verdict;
    } cases[] = {
        {"headers that store both sizes", build(records, recordOffsets, 1), placed("LZO", recordOffsets, plains), "real"},
        {"zlib wrappers with their checksums", build(wrapped, zlibOffsets, 2), placed("Deflate", zlibOffsets, plains), "real"},
        {"zlib headers whose checksums fail: sound streams all the same", build(badChecksums, badOffsets, 3),
         placed("Deflate", badOffsets, plains), "plausible"},
        {"one round size at the same place before every stream", build(laidOut, layoutOffsets, 4),
         placed("LZO", layoutOffsets, pages), "real"},
        {"tiny streams after a field that holds their tiny size", build(tiny, tinyOffsets, 5), {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JudgingSettings settings;
        settings.keep = JudgingSettings::Keep::RealAndPlausible;
        const Judged judged = judge(c.input, settings);
        ASSERT_EQ(judged.events.size(), c.streams.size());
        for (std::size_t i = 0; i < c.streams.size(); ++i) {
            const SinkEvent& event = judged.events[i];
            EXPECT_EQ(event.format, c.streams[i].format);
            EXPECT_EQ(event.offset, c.streams[i].offset);
            EXPECT_EQ(event.verdict, c.verdict);
            EXPECT_TRUE(event.bytes == c.streams[i].plain) << "decoded again for saving";
        }
        // The noise was judged, and counted, too.
        std::uint64_t noise = 0;
        for (const VerdictCounts& counts : judged.counts) noise += counts.noise;
        EXPECT_GT(noise, 0u);
    }
}

TEST(JudgingSinkTest, StopLimitOuterRuleAndBoundedWaiting) {
    std::vector<Bytes> plains;
    std::vector<std::pair<Bytes, Bytes>> records;
    for (std::uint32_t i = 0; i < 6; ++i) {
        plains.push_back(textBytes(2000 + 700 * i, 70 + i));
        const Bytes packed = lzoCompress(plains.back());
        // Sizes and a checksum, as lzop writes them before each block.
        records.push_back({concat({bigEndian(plains.back().size(), 4), bigEndian(packed.size(), 4),
                                   bigEndian(crc32(plains.back()), 4)}),
                           packed});
    }
    std::vector<std::uint64_t> offsets;
    const Bytes input = build(records, offsets, 80);

    // Only kept streams count toward the stop, and none past it is passed on.
    JudgingSettings stopping;
    stopping.keep = JudgingSettings::Keep::RealAndPlausible;
    stopping.stopAfter = 2;
    const Judged stopped = judge(input, stopping);
    ASSERT_EQ(stopped.events.size(), 2u);
    EXPECT_EQ(stopped.events[1].offset, offsets[1]);
    EXPECT_TRUE(stopped.stopped);
    // A sink after it that stops (the output limit) stops the judge as well.
    JudgingSettings realOnly;
    realOnly.keep = JudgingSettings::Keep::RealAndPlausible;
    const Judged stoppedAfter = judge(input, realOnly, 3);
    ASSERT_EQ(stoppedAfter.events.size(), 3u);
    EXPECT_EQ(stoppedAfter.events[2].offset, offsets[2]);
    EXPECT_TRUE(stoppedAfter.stopped);

    // --outer: the real streams always, and no noise that lies inside one.
    JudgingSettings outer;
    outer.outer = true;
    const Judged nested = judge(input, outer);
    std::size_t real = 0;
    for (const SinkEvent& event : nested.events) {
        if (event.verdict == "real") {
            ++real;
            continue;
        }
        for (const std::uint64_t offset : offsets) {
            const auto& stream = *std::find_if(nested.events.begin(), nested.events.end(),
                                               [&](const SinkEvent& e) { return e.offset == offset && e.format == "LZO"; });
            if (event.format == "LZO") {
                EXPECT_FALSE(event.offset > offset && event.end <= stream.end) << event.offset;
            }
        }
    }
    EXPECT_EQ(real, offsets.size());

    // Waiting bounded to a few streams: families are judged early, but every stream with
    // evidence of its own is still found, in order.
    JudgingSettings crowded;
    crowded.keep = JudgingSettings::Keep::RealAndPlausible;
    crowded.maxPending = 4;
    const Judged early = judge(input, crowded);
    ASSERT_EQ(early.events.size(), offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(early.events[i].offset, offsets[i]);
}

}  // namespace
