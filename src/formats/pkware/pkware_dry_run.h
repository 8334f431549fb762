// A dry run of dclExplode over an input in memory: reads the same items at the same bit
// positions and makes the same checks, but produces nothing; its answer is what dclExplode
// and the unpacker's output function would end with.
//
// Two checks depend on where a walk started: a match may not reach before the first byte
// (only the first window lacks history, and no distance exceeds 4096, so the check is
// "distance > produced"), and the output function asks to stop at the first window handed out
// that reaches the capacity. Everything else depends on the bit position and the two header
// bytes alone, so walks from different offsets that reach the same place go on alike: they
// meet at landmarks (see LandmarkMemo) and hop from there.
//
// Thread safety: one dry run per thread; the code tables it reads are built once, thread-safely.
#pragma once

#include <cstdint>

#include "formats/common/landmark_memo.h"
#include "formats/pkware/pkware_decoder.h"

namespace korvel {

struct DclOutcome {
    DclResult result = dclInputEnded;  // as dclExplode returns it, after the last window
    std::uint32_t written = 0;         // bytes the output function kept, at most the capacity
    std::uint64_t end = 0;             // for dclComplete: one past the last input byte read
};

class DclDryRun {
public:
    // A walk's place between items: the bit position in the input and the two header bytes.
    struct Place {
        std::uint64_t position;  // in bits from the input's first byte
        std::uint8_t literalMode;
        std::uint8_t dictionaryCode;
        std::uint64_t key() const { return position << 3 | std::uint64_t{literalMode} << 2 | (dictionaryCode - 4u); }
        bool operator==(const Place&) const = default;
    };

    explicit DclDryRun(std::size_t landmarkBudget = LandmarkMemo<Place>::defaultBudget, JoinBudget* shared = nullptr);

    // The outcome of the unpacker's decode of input[offset, size) into `capacity` bytes. What
    // is kept is dropped when another address or size is given; the bytes of an input must not
    // change between calls unless forget() is called in between.
    DclOutcome run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity);
    void forget();

private:
    enum class Ending : std::uint8_t { Continue, EndCode, InputEnded };
    struct Item {
        std::uint32_t output = 0;    // bytes it produces
        std::uint32_t distance = 0;  // of a match; 0 for a literal
        Ending ending = Ending::Continue;
        std::uint64_t next = 0;      // bit position after it
    };
    Item read(const Place& place) const;
    // Up to 32 bits from bit `position` on, first bit lowest, zeros past the input.
    std::uint32_t peek(std::uint64_t position) const;

    const std::uint8_t* input_ = nullptr;
    std::uint64_t size_ = 0;
    LandmarkMemo<Place> landmarks_;
};

}  // namespace korvel
