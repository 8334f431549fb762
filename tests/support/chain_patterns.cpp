#include "chain_patterns.h"

#include <algorithm>
#include <random>

#include "compressors.h"
#include "dcl_writer.h"
#include "formats/pkware/pkware_decoder.h"

namespace korvel {

namespace {

// Bits packed first bit lowest, as deflate reads them.
class BitPacker {
public:
    void put(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            if (used_ % 8 == 0) bytes_.push_back(0);
            bytes_.back() |= static_cast<std::uint8_t>(((value >> i) & 1) << (used_ % 8));
            ++used_;
        }
    }
    // A Huffman code goes most significant bit first.
    void putCode(std::uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) put(code >> i, 1);
    }
    const Bytes& bytes() const { return bytes_; }
    std::size_t bits() const { return used_; }

private:
    Bytes bytes_;
    std::size_t used_ = 0;
};

}  // namespace

Bytes storedChainPeriod() { return {0x00, 0x00, 0x00, 0xFF, 0xFF}; }
Bytes tinyStoredChainPeriod() { return {0x00, 0x01, 0x00, 0xFE, 0xFF, 0x41}; }
Bytes dclBinaryLiteralChainPeriod() { return {0x00, 0x04, 0, 0, 0, 0, 0, 0, 0}; }
Bytes lzoLiteralRunChainPeriod() { return {0x01, 'a', 'b', 'c', 'd', 0x40, 0x00}; }
Bytes nrv2LiteralChainPeriod() { return {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}; }

Bytes fixedMatchChainPeriod() {
    BitPacker bits;
    const auto block = [&](auto&& body) {
        bits.put(0, 1);  // not final
        bits.put(1, 2);  // fixed Huffman
        body();
        bits.putCode(0, 7);  // end of block
    };
    block([&] {
        bits.putCode(0x30 + 'a', 8);
        bits.putCode(0x30 + 'b', 8);
    });
    for (int empty = 0; empty < 3; ++empty) block([] {});
    block([&] {
        bits.putCode(1, 7);  // length 3
        bits.putCode(1, 5);  // distance 2
    });
    block([] {});
    return bits.bytes();
}

Bytes fixedChainPeriod(bool withLiteral) {
    BitPacker bits;
    do {
        bits.put(0, 1);  // not final
        bits.put(1, 2);  // fixed Huffman
        if (withLiteral) bits.putCode(0x30 + 'A', 8);
        bits.putCode(0, 7);  // end of block
    } while (bits.bits() % 8 != 0);
    return bits.bytes();
}
namespace {

// The smallest dynamic block header, not final: two literal/length codes and two distance codes,
// all one bit long, their lengths coded with zero runs. Code 0 is 'A', code 1 end of block; with
// `matchCode`, code 0 is end of block and code 1 the match length 3.
void putSmallestDynamicHeader(BitPacker& bits, bool matchCode) {
    bits.put(0, 1);                  // not final
    bits.put(2, 2);                  // dynamic Huffman
    bits.put(matchCode ? 1 : 0, 5);  // 257 or 258 literal/length codes
    bits.put(1, 5);                  // 2 distance codes
    bits.put(14, 4);  // 18 code length code lengths, in their order: 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1
    for (const int length : {0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}) bits.put(length, 3);
    // Code length codes: 18 is 0, length 0 is 10, length 1 is 11.
    const auto zeros = [&](int count) {
        bits.putCode(0, 1);
        bits.put(count - 11, 7);
    };
    if (matchCode) {
        zeros(138);
        zeros(118);
        bits.putCode(3, 2);  // end of block
        bits.putCode(3, 2);  // length 3
    } else {
        zeros(65);
        bits.putCode(3, 2);  // 'A'
        zeros(138);
        zeros(52);
        bits.putCode(3, 2);  // end of block
    }
    bits.putCode(3, 2);  // the two distance codes
    bits.putCode(3, 2);
}

}  // namespace

Bytes dynamicChainPeriod(bool withLiteral) {
    BitPacker bits;
    do {
        putSmallestDynamicHeader(bits, false);
        if (withLiteral) bits.putCode(0, 1);  // 'A'
        bits.putCode(1, 1);                   // end of block
    } while (bits.bits() % 8 != 0);
    return bits.bytes();
}

Bytes dynamicMixedChainPeriod() {
    BitPacker bits;
    do {
        putSmallestDynamicHeader(bits, false);
        bits.putCode(0, 1);  // 'A'
        bits.putCode(1, 1);  // end of block
        putSmallestDynamicHeader(bits, true);
        bits.putCode(1, 1);  // a match of 3...
        bits.putCode(0, 1);  // ...one byte back
        bits.putCode(0, 1);  // end of block
    } while (bits.bits() % 8 != 0);
    return bits.bytes();
}
Bytes dclChainPeriod(int literalMode, bool matches) {
    std::mt19937 generator(literalMode * 2 + matches + 11);
    struct Walk {
        const Bytes& input;
        std::size_t handedOver = 0;
        static std::uint32_t read(void* context, const std::uint8_t** next) {
            auto& walk = *static_cast<Walk*>(context);
            if (walk.handedOver != 0) return 0;
            walk.handedOver = walk.input.size();
            *next = walk.input.data();
            return static_cast<std::uint32_t>(walk.input.size());
        }
        static int write(void*, const std::uint8_t*, std::uint32_t) { return 0; }
    };
    for (;;) {
        DclWriter writer(literalMode, 4 + generator() % 3);
        unsigned produced = 0;
        const unsigned items = 4 + generator() % 12;
        for (unsigned item = 0; item < items; ++item) {
            if (matches && produced > 0 && generator() % 4 != 0) {
                const unsigned length = 2 + generator() % 40;
                const unsigned distance = 1 + generator() % std::min(produced, writer.maxDistance(length));
                writer.match(length, distance);
                produced += length;
            } else {
                writer.literal(static_cast<std::uint8_t>(literalMode == 1 ? 'a' + generator() % 26 : generator()));
                ++produced;
            }
        }
        const Bytes period = writer.unfinished();
        Bytes sample;
        while (sample.size() < (64u << 10)) sample.insert(sample.end(), period.begin(), period.end());
        bool chained = true;
        for (const std::size_t start : {std::size_t{0}, period.size() * 5}) {
            const Bytes rest(sample.begin() + static_cast<std::ptrdiff_t>(start), sample.end());
            Walk walk{rest};
            std::uint32_t unread = 0;
            chained = chained && dclExplode(Walk::read, &walk, Walk::write, nullptr, &unread) == dclInputEnded;
        }
        if (chained) return period;
    }
}

Bytes repeatedTo(const Bytes& period, std::size_t size) {
    Bytes bytes;
    while (bytes.size() < size) bytes.insert(bytes.end(), period.begin(), period.end());
    bytes.resize(size);
    return bytes;
}

BackToBackStreams backToBackStreams() {
    std::mt19937 generator(7);
    BackToBackStreams streams;
    for (unsigned i = 0; streams.input.size() < (2u << 20); ++i) {
        Bytes period(8 + i % 50);
        for (auto& byte : period) byte = static_cast<std::uint8_t>(generator());
        Bytes plain;
        while (plain.size() < 20000 + i * 7919 % 20000) plain.insert(plain.end(), period.begin(), period.end());
        streams.decodedBytes += plain.size();
        const Bytes packed = i % 5 == 0   ? deflateRaw(plain)
                             : i % 5 == 1 ? dclCompress(plain)
                             : i % 5 == 2 ? lzoCompress(plain)
                             : i % 5 == 3 ? ucl2bCompress(plain)
                                          : ucl2dCompress(plain);
        streams.input.insert(streams.input.end(), packed.begin(), packed.end());
    }
    return streams;
}

}  // namespace korvel
