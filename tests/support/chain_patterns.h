// Periods that, repeated, make many offsets start a walk that decodes to the end of the input:
// chains of tiny blocks and items of each format. For the adversarial bench corpus and the fuzz
// seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

// Deflate: empty non-final stored blocks (the offsets between them start stored blocks of
// 65,280 and 65,535 bytes), and stored blocks of one byte.
Bytes storedChainPeriod();
Bytes tinyStoredChainPeriod();
// Deflate: non-final fixed- or dynamic-Huffman blocks, each empty or one literal, until the
// bits fill whole bytes. The dynamic header is the smallest: two literal/length codes ('A' and
// end of block) and two distance codes, all one bit long, their lengths coded with zero runs.
Bytes fixedChainPeriod(bool withLiteral);
Bytes dynamicChainPeriod(bool withLiteral);
// Deflate: dynamic blocks as above, each with one literal, or with a code of end of block and a
// match length instead and one match: headers with the same first 70 bits and different codes.
Bytes dynamicMixedChainPeriod();
// Deflate: fixed blocks of two literals, three empty ones, one whose match reaches two bytes
// back (its header on a byte's first bit: a walk that starts there fails at once, one that
// passes through it goes on), and an empty one.
Bytes fixedMatchChainPeriod();
// DCL: a header whose 9-byte period is eight plain literals.
Bytes dclBinaryLiteralChainPeriod();
// DCL: a header and a few items of the given literal mode (literals, or with `matches` mostly
// matches), chosen at random until the walks from the first headers read the next headers'
// bits harmlessly and go on to the end.
Bytes dclChainPeriod(int literalMode, bool matches);
// LZO1X: a run of four literals, then a three-byte match one byte back.
Bytes lzoLiteralRunChainPeriod();
// NRV2B/NRV2D: a control byte of eight literal bits, then the eight literals.
Bytes nrv2LiteralChainPeriod();

// `period` repeated to `size` bytes.
Bytes repeatedTo(const Bytes& period, std::size_t size);

// 2 MiB of streams of every format back to back, each of 20 to 40 KB that repeat a random period
// of 8 to 57 bytes: a walk from almost any offset inside a stream decodes the rest of it, so a
// plain scan with a 2 MiB buffer writes some 10 GB of noise. `decodedBytes` is what the real
// streams hold.
struct BackToBackStreams {
    Bytes input;
    std::uint64_t decodedBytes = 0;
};
BackToBackStreams backToBackStreams();

}  // namespace korvel
