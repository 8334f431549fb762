// The unpacker base class and the state one worker's attempts work on.
// Thread safety: an unpacker and the ScanState it was made with belong to one worker thread;
// only the input bytes, read-only, and the join budget are shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/join_budget.h"
#include "core/size_rules.h"

namespace korvel {

struct ScanState {
    const std::uint8_t* inputView = nullptr;  // first input byte; one readable spare byte follows the last
    std::uint64_t inputSize = 0;
    std::uint8_t* outputBuffer = nullptr;     // sizes.bufferCapacity bytes plus one spare
    std::uint32_t outputSize = 0;
    std::uint64_t currentOffset = 0;          // the attempt's start; set by the scan loop
    // After a find: one past the last input byte the stream was decoded from. Set by the
    // unpackers for complete streams while the dry runs are on; the scan loop puts it back to 0
    // (not known) after each find.
    std::uint64_t inputEnd = 0;
    SizeRules sizes;
    bool keepBytes = true;  // false when no stream's bytes are needed (listing): sizes suffice
    bool dryRuns = true;    // the dry runs work out the decoders' answers first; off only to compare
    // Shared by the dry runs of every worker for their landmarks; none: each keeps its own budget.
    JoinBudget* joinBudget = nullptr;

    // Whether the bytes of a stream of `size` are needed: it will be saved. Decoders that know a
    // size in advance skip producing bytes nobody keeps.
    bool bytesWanted(std::uint32_t size) const {
        return keepBytes && sizes.classify(size) == SizeRules::Verdict::Kept;
    }
};

// What one attempt at an offset finds, the same whether a format's dry run worked it out or its
// decoder produced it: the one answer every format gives.
struct Prediction {
    // One past the last input byte the stream was read from, for a complete stream whose end is
    // known; 0 otherwise.
    std::uint64_t end = 0;
    bool found = false;
    // The bytes are already at the start of the output buffer: no decode is needed for them.
    bool bytesInBuffer = false;
    // Decoded bytes: at or above the capacity, the stream fills the output buffer (the size rules
    // tell it apart).
    std::uint32_t produced = 0;

    // No stream starts here.
    static Prediction none() { return {}; }
    // A stream of `produced` bytes; its end, where known; whether its bytes are in the buffer.
    static Prediction stream(std::uint32_t produced, std::uint64_t end, bool bytesInBuffer) {
        return {end, true, bytesInBuffer, produced};
    }
};
// Sixteen bytes, `found` the low byte of the second half: returned in two registers and tested
// at once, at every offset for every format.
static_assert(sizeof(Prediction) == 16);

// A format's unpacker. The base class owns the sequence of an attempt: the format's prediction
// (its dry run: the decoder's answer, size and end without producing the bytes), then the
// decoder only when the bytes are wanted, because the stream will be saved. With the dry runs
// off (to compare them with the decoders), the decoder alone.
//
// The rule every format must keep: a read of the input may fault (the file shrank under its
// mapping), and the worker then leaves predict() and decode() by a jump back to the point it
// armed before the attempt. Between that point and any input read there may be only frames
// that hold trivially destructible objects and no lock: no std::vector, no std::string, no mutex
// in predict(), decode() or anything they call while they read the input.
//
// Aligned so that unpackers of different workers, made one after another, never share a cache
// line: they update their counters at every offset.
class alignas(128) Unpacker {
public:
    explicit Unpacker(ScanState& scan) : scan_(scan) {}
    virtual ~Unpacker();
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;

    // Decodes a stream starting at currentOffset. True when found: outputSize then holds the
    // decoded size (at or above the capacity: the buffer was exhausted), the bytes are at the
    // start of outputBuffer if bytesWanted(outputSize), and inputEnd is set where it is known.
    bool tryUnpack() { return scan_.dryRuns ? tryPredicted() : tryDecoderAlone(); }
    // tryUnpack with the dry runs on, for a scan loop that makes that choice once for all its
    // offsets. Inline: it runs for every format at every offset.
    bool tryPredicted() {
        const Prediction predicted = predict();
        return predicted.found && settle(predicted);
    }
    // tryUnpack with the dry runs off: the decoder alone, to compare the dry runs with it.
    bool tryDecoderAlone();

    // Screening: which of the `screenBlock` offsets from `first` may start a stream, as set bits
    // (bit i for first + i), decided from their first bytes alone before any attempt. A clear
    // bit is a promise that the decoder finds nothing there, whatever the capacity: the scan
    // then makes no attempt at that offset. Reads at most screenReach bytes from `first`; the
    // scan screens only where that many input bytes follow, and only with the dry runs on.
    // The default promises nothing. Must not read or change the attempt's state: the answer
    // depends on those bytes alone, and the scan reuses it for a block whose bytes are the same.
    static constexpr unsigned screenBlock = 64;
    static constexpr std::uint64_t screenReach = screenBlock + 256;
    virtual std::uint64_t screen(const std::uint8_t* first) const;

protected:
    // The decoder's answer for a stream at currentOffset, without producing its bytes where that
    // is cheaper; exactly what decode() would answer.
    virtual Prediction predict() = 0;
    // The decoder itself: the stream at currentOffset into the output buffer.
    virtual Prediction decode() = 0;

    ScanState& scan_;

private:
    bool settle(Prediction predicted);  // a find: its size, end, and bytes when wanted
};

}  // namespace korvel
