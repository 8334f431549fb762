// The bit-at-a-time raw deflate decoder that rawInflate replaced, kept as the reference the fast
// decoder is held to: same signature, same results, lengths and written bytes.
#pragma once

#include <cstdint>

#include "formats/deflate/deflate_decoder.h"

namespace korvel {

namespace reference {

// Canonical Huffman code: symbols per code length plus the symbols in code order.
// Both arrays belong to whoever builds the table.
struct HuffmanTable {
    std::int16_t* lengthCounts;  // [0] counts the symbols without a code
    std::int16_t* symbols;       // shorter codes first, equal lengths by ascending symbol
};

// State of one referenceInflate call; lives in that call's frame.
struct InflateContext {
    std::uint8_t* dest;
    std::uint32_t destCapacity;
    std::uint32_t destCount;  // bytes produced; also the reach of match distances
    const std::uint8_t* source;
    std::uint64_t sourceLength;
    std::uint64_t sourceCount;  // a byte counts as taken once it enters bitBuffer
    std::uint32_t bitBuffer;    // next bit is the least significant one
    std::int32_t bitCount;      // 0..7 between two reads
};

// Result codes, as rawInflate gives them.
//   0  a final block was completed
//   1  the destination cannot hold the next literal, match or stored block
//   2  the source ended inside the stream
//  -1  block type 3                      -7  literal/length code unusable
//  -2  stored length check failed        -8  distance code unusable
//  -3  too many code lengths announced   -9  end-of-block has no code
//  -4  code-length code unusable        -10  no code matches, or length symbol 286/287
//  -5  repeat with no previous length   -11  distance reaches before the first byte produced
//  -6  code-length run past the end
// *destLen (capacity in, produced out) and *sourceLen (available in, taken out) are
// written back only for 0 and negative results.
InflateResult referenceInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                               std::uint64_t* sourceLen);

// The steps of referenceInflate. The two readers return inflateSourceEnd when
// they need a byte beyond sourceLength; every caller passes it up, and referenceInflate turns it
// into result 2.
inline constexpr int inflateSourceEnd = -1000;

int inflateReadBits(InflateContext& context, int count);  // 0 <= count <= 13
int inflateDecodeSymbol(InflateContext& context, const HuffmanTable& table);
// 0: complete or no codes at all; > 0: incomplete; < 0: over-subscribed (symbols not filled).
int inflateBuildTable(HuffmanTable& table, const std::int16_t* lengths, int count);
int inflateStoredBlock(InflateContext& context);
int inflateFixedBlock(InflateContext& context);
int inflateDynamicBlock(InflateContext& context);
int inflateBlockSymbols(InflateContext& context, const HuffmanTable& literalTable,
                        const HuffmanTable& distanceTable);

}  // namespace reference

using reference::referenceInflate;

}  // namespace korvel
