// The explode decoder's own steps, for the dry run that reads the stream through them and for
// the tests that hold each step to its contract. Nothing outside the PKWare format uses them.
// Thread safety: as pkware_decoder.h; a state belongs to one call.
#pragma once

#include <cstdint>

#include "formats/pkware/pkware_decoder.h"

namespace korvel {

inline constexpr std::uint32_t dclWindowSize = 4096;
inline constexpr int dclMaxCodeLength = 13;
inline constexpr int dclEndOfStreamLength = 519;

namespace dcl {
// Canonical Huffman code walked bit by bit. In its own namespace so that it cannot clash with
// the deflate decoder's table type of the same name.
struct HuffmanTable {
    std::int16_t* lengthCounts;  // symbols per code length 0..dclMaxCodeLength (0: no code)
    std::int16_t* symbols;       // symbols in canonical order
};
}  // namespace dcl

struct ExplodeState {
    DclInputFn inFn;
    void* inCtx;
    const std::uint8_t* inNext;
    std::uint32_t inLeft;     // unread bytes at inNext
    std::uint32_t bitBuffer;  // fetched, unconsumed bits; next bit lowest
    int bitCount;             // valid bits in bitBuffer, 0..7 between reads
    DclOutputFn outFn;
    void* outCtx;
    std::uint32_t windowPos;  // bytes not yet handed out; where the next byte goes
    int firstWindow;          // set until the first full window was handed out
    std::uint8_t window[dclWindowSize];
};

// Returned by dclReadBits and dclDecodeSymbol in place of a value.
inline constexpr int dclNoInput = -1;   // the input function reported the end
inline constexpr int dclNoSymbol = -2;  // the bits match no code (only for incomplete codes)

// Starts a state for one call: nothing read, nothing decoded.
void dclInitState(ExplodeState& state, DclInputFn inFn, void* inCtx, DclOutputFn outFn, void* outCtx);
// Next n (0..8) plain bits, first bit lowest; or dclNoInput.
int dclReadBits(ExplodeState& state, int n);
// Next symbol of `table`, code read MSB first with every bit inverted; or dclNoInput / dclNoSymbol.
int dclDecodeSymbol(ExplodeState& state, const dcl::HuffmanTable& table);
// Fills `table` from a compact list: each byte gives code length (low 4 bits) to the next
// (high 4 bits + 1) symbols. `table.symbols` must hold every listed symbol. False when the
// list has more than 256 symbols or a length above dclMaxCodeLength.
bool dclBuildTable(dcl::HuffmanTable& table, const std::uint8_t* list, std::uint32_t listLength);
// Checks the two header bytes and decodes items; returns a dclExplode result.
DclResult dclDecodeBody(ExplodeState& state);

namespace dcl {
// What each length symbol adds to its extra bits, and how many extra bits it reads.
extern const std::int16_t lengthBase[16];
extern const std::int8_t lengthExtraBits[16];
}  // namespace dcl

// The three fixed codes, built once on first use (thread-safely) and kept for the process.
const dcl::HuffmanTable& dclLiteralCode();
const dcl::HuffmanTable& dclLengthCode();
const dcl::HuffmanTable& dclDistanceCode();

}  // namespace korvel
