// Decoder for the PKWare Data Compression Library stream format ("explode").
// Thread safety: reentrant; each call keeps its state in its own frame.
#pragma once

#include <cstdint>

namespace korvel {

// Hands the decoder its next block of input through `next`; returns the block's size, 0 at the end.
using DclInputFn = std::uint32_t (*)(void* context, const std::uint8_t** next);
// Receives decoded bytes (valid only during the call); nonzero asks the decoder to stop.
using DclOutputFn = int (*)(void* context, const std::uint8_t* bytes, std::uint32_t count);

enum DclResult : int {
    dclComplete = 0,         // end code reached, all output handed out
    dclStopped = 1,          // the output function asked to stop
    dclInputEnded = 2,       // input ran out inside the stream
    dclBadLiteralMode = -1,  // first byte above 1
    dclBadDictionary = -2,   // second byte not 4, 5 or 6
    dclBadDistance = -3,     // match reaches before the first decoded byte
};

// Decodes one stream, pulling input through inFn and pushing output through outFn in blocks
// of 4096 bytes plus a final partial block. Allocates nothing.
// `unread`, when given, receives how many bytes of the last input block were never read: a
// byte is fetched only when one of its bits is needed, so after the end code that tells where
// the stream ends.
DclResult dclExplode(DclInputFn inFn, void* inCtx, DclOutputFn outFn, void* outCtx, std::uint32_t* unread = nullptr);

}  // namespace korvel
