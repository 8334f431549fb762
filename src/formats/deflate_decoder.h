// Raw deflate decoder (RFC 1951 blocks, no zlib or gzip wrapper).
#pragma once

#include <cstdint>

// Result codes of rawInflate.
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
// written back only for 0 and negative results. A byte counts as taken once a bit of it has
// been used, so the count is the one a decoder reading one byte at a time would report.
//
// Checks come in stream order and the first failure ends the call. A Huffman code that
// matches nothing is rejected on its fifteenth bit; if the input ends before that bit, the
// result is 2. Nothing is read at or past source + *sourceLen, and nothing is written past
// the bytes produced: literals are stored one by one, a match or stored block whole once all
// its checks have passed.
int rawInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
               std::uint64_t* sourceLen);
