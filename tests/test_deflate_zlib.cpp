// Raw deflate decoder against zlib as an independent compressor and decompressor.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/deflate/deflate_decoder.h"
#include "test_support.h"

using namespace korvel;

namespace {

// Raw deflate (no wrapper) of `data`; with `flushEvery` nonzero, a sync flush after every
// that many bytes (each adds an empty non-final stored block).
Bytes zlibDeflate(const Bytes& data, int level, int strategy, std::size_t flushEvery = 0) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
        throw std::runtime_error("deflateInit2");
    Bytes out(deflateBound(&z, data.size()) + 64 + (flushEvery ? data.size() / flushEvery * 8 : 0));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    std::size_t done = 0;
    int status = Z_OK;
    do {
        const std::size_t chunk = flushEvery ? std::min(flushEvery, data.size() - done) : data.size() - done;
        z.next_in = const_cast<Bytef*>(data.data() + done);
        z.avail_in = static_cast<uInt>(chunk);
        done += chunk;
        status = deflate(&z, done == data.size() ? Z_FINISH : Z_SYNC_FLUSH);
    } while (done < data.size());
    if (status != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Decoded {
    int result;
    std::uint64_t taken;
    Bytes output;
};

Decoded decode(const Bytes& input, std::uint32_t capacity) {
    Bytes dest(capacity);
    std::uint32_t destLen = capacity;
    std::uint64_t sourceLen = input.size();
    const int result = rawInflate(dest.data(), &destLen, input.data(), &sourceLen);
    dest.resize(result <= 0 ? destLen : 0);
    return {result, sourceLen, std::move(dest)};
}

struct RoundTrip {
    const char* content;
    std::size_t size;
    int level;
    int strategy;
    std::size_t flushEvery = 0;
};

Bytes content(const RoundTrip& c, std::uint32_t seed) {
    const std::string kind = c.content;
    if (kind == "text") return textBytes(c.size, seed);
    if (kind == "random") return randomBytes(c.size, seed);
    // Text with random stretches: block types and code shapes change along the stream.
    Bytes mixed;
    while (mixed.size() < c.size) {
        const Bytes part = (mixed.size() / 50000) % 2 ? randomBytes(50000, seed++) : textBytes(50000, seed++);
        mixed.insert(mixed.end(), part.begin(), part.end());
    }
    mixed.resize(c.size);
    return mixed;
}

TEST(RawInflateZlib, RoundTrips) {
    std::vector<RoundTrip> cases;
    for (int level : {0, 1, 6, 9}) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
            for (const char* kind : {"text", "random"}) {
                for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{3000},
                                         std::size_t{90000}}) {
                    cases.push_back({kind, size, level, strategy});
                }
            }
        }
    }
    cases.push_back({"text", 4u << 20, 6, Z_DEFAULT_STRATEGY});
    cases.push_back({"random", 3u << 20, 0, Z_DEFAULT_STRATEGY});
    cases.push_back({"mixed", 2u << 20, 9, Z_DEFAULT_STRATEGY});
    cases.push_back({"mixed", 1u << 20, 1, Z_RLE});
    cases.push_back({"mixed", 1u << 20, 9, Z_HUFFMAN_ONLY});
    cases.push_back({"text", 300000, 6, Z_DEFAULT_STRATEGY, 777});
    cases.push_back({"mixed", 300000, 0, Z_DEFAULT_STRATEGY, 40000});

    std::uint32_t seed = 1;
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " size " + std::to_string(c.size) + " level " +
                     std::to_string(c.level) + " strategy " + std::to_string(c.strategy) + " flush " +
                     std::to_string(c.flushEvery));
        const Bytes original = content(c, seed++);
        const Bytes compressed = zlibDeflate(original, c.level, c.strategy, c.flushEvery);
        // Trailing bytes must not be looked at.
        const Decoded out = decode(concat({compressed, randomBytes(9, seed)}),
                                   static_cast<std::uint32_t>(original.size() + 100));
        ASSERT_EQ(out.result, 0);
        EXPECT_EQ(out.taken, compressed.size());
        EXPECT_TRUE(out.output == original);
    }
}

// Every proper prefix of a valid stream runs out of input; nothing is written back.
TEST(RawInflateZlib, EveryPrefixNeedsMoreInput) {
    struct Shape {
        std::size_t size;
        int level;
        int strategy;
        std::size_t flushEvery;
    };
    for (const Shape& s : {Shape{1500, 6, Z_DEFAULT_STRATEGY, 0}, Shape{1500, 9, Z_FIXED, 0},
                           Shape{400, 0, Z_DEFAULT_STRATEGY, 0}, Shape{2000, 1, Z_DEFAULT_STRATEGY, 300}}) {
        const Bytes original = textBytes(s.size, 11);
        const Bytes compressed = zlibDeflate(original, s.level, s.strategy, s.flushEvery);
        for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
            Bytes dest(s.size);
            const Bytes prefix(compressed.begin(), compressed.begin() + cut);
            std::uint32_t destLen = 12345;
            std::uint64_t sourceLen = prefix.size();
            ASSERT_EQ(rawInflate(dest.data(), &destLen, prefix.data(), &sourceLen), 2) << "cut " << cut;
            ASSERT_EQ(destLen, 12345u);
            ASSERT_EQ(sourceLen, prefix.size());
        }
        const Decoded whole = decode(compressed, static_cast<std::uint32_t>(s.size));
        EXPECT_EQ(whole.result, 0);
        EXPECT_EQ(whole.taken, compressed.size());
    }
}

// Damaged streams: results stay within the defined codes, lengths within their bounds, and
// whenever zlib also completes the stream both produce the same bytes.
TEST(RawInflateZlib, DamagedStreams) {
    const Bytes original = textBytes(3000, 21);
    std::vector<Bytes> streams = {zlibDeflate(original, 6, Z_DEFAULT_STRATEGY),
                                  zlibDeflate(original, 9, Z_FIXED), zlibDeflate(original, 1, Z_RLE)};
    std::mt19937 random(99);
    int agreed = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = streams[round % streams.size()];
        for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
            damaged[random() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        const std::uint32_t capacity = round % 5 == 0 ? 1000 : 8000;
        const Decoded ours = decode(damaged, capacity);
        ASSERT_GE(ours.result, -11);
        ASSERT_LE(ours.result, 2);
        if (ours.result > 0) continue;
        ASSERT_LE(ours.output.size(), capacity);
        ASSERT_LE(ours.taken, damaged.size());
        if (ours.result != 0) continue;

        Bytes theirs(capacity);
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
        z.next_in = damaged.data();
        z.avail_in = static_cast<uInt>(damaged.size());
        z.next_out = theirs.data();
        z.avail_out = capacity;
        const int status = inflate(&z, Z_FINISH);
        if (status == Z_STREAM_END) {
            theirs.resize(z.total_out);
            EXPECT_TRUE(theirs == ours.output) << "round " << round;
            EXPECT_EQ(z.total_in, ours.taken) << "round " << round;
            ++agreed;
        }
        inflateEnd(&z);
    }
    EXPECT_GT(agreed, 0);
}

}  // namespace
