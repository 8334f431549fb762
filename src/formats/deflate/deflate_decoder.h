// Raw deflate decoder (RFC 1951 blocks, no zlib or gzip wrapper).
// Thread safety: reentrant; its fixed tables are compile-time constants.
#pragma once

#include <cstdint>

namespace korvel {

// Results of rawInflate, in the order a stream is checked. Every format error has its own code
// so that the table-driven decoder can be held to the bit-at-a-time reference in tests/.
enum InflateResult : int {
    inflateComplete = 0,              // a final block was completed
    inflateOutputFull = 1,            // the destination cannot hold the next literal, match or stored block
    inflateInputEnded = 2,            // the source ended inside the stream
    inflateBadBlockType = -1,         // block type 3
    inflateBadStoredLength = -2,      // stored length check failed
    inflateTooManyLengths = -3,       // too many code lengths announced
    inflateBadCodeLengthCode = -4,    // code-length code unusable
    inflateRepeatWithoutLength = -5,  // repeat with no previous length
    inflateRunPastEnd = -6,           // code-length run past the end
    inflateBadLiteralCode = -7,       // literal/length code unusable
    inflateBadDistanceCode = -8,      // distance code unusable
    inflateNoEndOfBlock = -9,         // end-of-block has no code
    inflateNoMatchingCode = -10,      // no code matches, or length symbol 286/287
    inflateDistanceTooFar = -11,      // distance reaches before the first byte produced
};

// *destLen (capacity in, produced out) and *sourceLen (available in, taken out) are
// written back only for inflateComplete and the format errors. A byte counts as taken once a bit of it has
// been used, so the count is the one a decoder reading one byte at a time would report.
//
// Checks come in stream order and the first failure ends the call. A Huffman code that
// matches nothing is rejected on its fifteenth bit; if the input ends before that bit, the
// result is inflateInputEnded. Nothing is read at or past source + *sourceLen, and nothing is written past
// the bytes produced: literals are stored one by one, a match or stored block whole once all
// its checks have passed.
InflateResult rawInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                         std::uint64_t* sourceLen);

// rawInflate up to the end of its first `fewBlocks` blocks: when the last of them is not the
// final one, the result is inflateInputEnded as if the input ended there, and the stream is
// left undecided.
constexpr unsigned fewBlocks = 4;
InflateResult rawInflateFewBlocks(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                                  std::uint64_t* sourceLen);

}  // namespace korvel
