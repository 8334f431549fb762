#include "formats/pkware/pkware_dry_run.h"

#include <algorithm>

#include "formats/common/lsb_bits.h"
#include "formats/common/tuning.h"
#include "formats/common/walked_input.h"
#include "formats/pkware/pkware_decoder_internal.h"

namespace korvel {

namespace {

struct CodeEntry {
    std::int16_t symbol;
    std::uint8_t length;  // bits the code takes
};
constexpr std::uint32_t codeBits = dclMaxCodeLength;
constexpr std::uint32_t codeMask = (1u << codeBits) - 1;

// Tuning (see formats/common/tuning.h). Walks join near their starts: landmarks of every level
// stay within 128 KiB of one, and thin out beyond. A DCL chain through a large input is dense in
// items (nine bits a literal): further out, its landmarks would fill the budget (measured on 64
// MiB of literal chains: 4.1 s instead of 5.8 s).
constexpr InputExtent landmarksNearby{128 << 10};

// The three fixed codes by their next 13 stream bits (first bit lowest), each pattern decoded
// once by the decoder itself, so that the dry run reads exactly its symbols. The codes are
// complete: every pattern holds a code.
struct CodeTables {
    CodeEntry literal[1u << codeBits];
    CodeEntry length[1u << codeBits];
    CodeEntry distance[1u << codeBits];

    CodeTables() {
        fill(literal, dclLiteralCode());
        fill(length, dclLengthCode());
        fill(distance, dclDistanceCode());
    }

    struct Feed {
        const std::uint8_t* bytes;
        std::uint32_t left;
    };
    static std::uint32_t feed(void* context, const std::uint8_t** next) {
        auto& from = *static_cast<Feed*>(context);
        *next = from.bytes;
        const std::uint32_t count = from.left;
        from.left = 0;
        return count;
    }
    static void fill(CodeEntry* table, const dcl::HuffmanTable& code) {
        for (std::uint32_t bits = 0; bits <= codeMask; ++bits) {
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)};
            Feed from{bytes, sizeof bytes};
            ExplodeState state;
            dclInitState(state, feed, &from, nullptr, nullptr);
            const int symbol = dclDecodeSymbol(state, code);
            const int taken = 8 * static_cast<int>(sizeof bytes - state.inLeft) - state.bitCount;
            table[bits] = {static_cast<std::int16_t>(symbol), static_cast<std::uint8_t>(taken)};
        }
    }
};

const CodeTables& codeTables() {
    static const CodeTables tables;
    return tables;
}

}  // namespace

DclDryRun::DclDryRun(std::size_t landmarkBudget, JoinBudget* shared)
    : landmarks_(landmarksNearby.bits(), landmarkBudget, shared) {}

void DclDryRun::forget() {
    landmarks_.clear();
}

std::uint32_t DclDryRun::peek(std::uint64_t position) const {
    return static_cast<std::uint32_t>(peekLsbBits(input_, size_, position));
}

// An item as dclDecodeBody reads it; the input may end inside it.
DclDryRun::Item DclDryRun::read(const Place& place) const {
    const CodeTables& codes = codeTables();
    Item item;
    const std::uint64_t available = size_ * 8 - place.position;
    const std::uint32_t bits = peek(place.position);
    std::uint32_t taken = 1;  // the flag
    const auto take = [&](std::uint32_t count) {
        taken += count;
        return taken <= available;
    };
    const auto field = [&](std::uint32_t count) { return (bits >> (taken - count)) & ((1u << count) - 1); };
    item.ending = Ending::InputEnded;
    if (available == 0) return item;
    if ((bits & 1) == 0) {
        if (!take(place.literalMode == 1 ? codes.literal[(bits >> 1) & codeMask].length : 8)) return item;
        item.output = 1;
    } else {
        // Flag, length code and extra bits, distance code and low bits: 30 bits at most.
        const CodeEntry lengthCode = codes.length[(bits >> 1) & codeMask];
        const auto extraBits = static_cast<std::uint32_t>(dcl::lengthExtraBits[lengthCode.symbol]);
        if (!take(lengthCode.length) || !take(extraBits)) return item;
        const std::uint32_t length = static_cast<std::uint32_t>(dcl::lengthBase[lengthCode.symbol]) + field(extraBits);
        if (length == dclEndOfStreamLength) {
            item.ending = Ending::EndCode;
            item.next = place.position + taken;
            return item;
        }
        const std::uint32_t lowBits = length == 2 ? 2 : place.dictionaryCode;
        const CodeEntry high = codes.distance[(bits >> taken) & codeMask];
        if (!take(high.length) || !take(lowBits)) return item;
        item.distance = (static_cast<std::uint32_t>(high.symbol) << lowBits) + field(lowBits) + 1;
        item.output = length;
    }
    item.ending = Ending::Continue;
    item.next = place.position + taken;
    return item;
}

DclOutcome DclDryRun::run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset,
                          std::uint32_t capacity) {
    if (walkAnother(input_, size_, input, size)) forget();
    // The output function asks to stop at the first full window handed out that reaches the
    // capacity: a walk stops once it has produced `stopAt`.
    const std::int64_t stopAt = std::max<std::int64_t>(dclWindowSize, (std::int64_t{capacity} + dclWindowSize - 1) /
                                                                          dclWindowSize * dclWindowSize);
    // The last window goes out after the end, after an error too, and may reach the capacity.
    const auto finish = [&](DclResult result, std::int64_t produced, std::uint64_t end) {
        DclOutcome outcome{result, static_cast<std::uint32_t>(std::min<std::int64_t>(produced, capacity)), end};
        if (result == dclComplete && produced % dclWindowSize != 0 && produced >= capacity) outcome.result = dclStopped;
        return outcome;
    };

    if (offset >= size) return finish(dclInputEnded, 0, 0);
    const std::uint8_t literalMode = input[offset];
    if (literalMode > 1) return finish(dclBadLiteralMode, 0, 0);
    if (size - offset < 2) return finish(dclInputEnded, 0, 0);
    const std::uint8_t dictionaryCode = input[offset + 1];
    if (dictionaryCode < 4 || dictionaryCode > 6) return finish(dclBadDictionary, 0, 0);

    Place place{(offset + 2) * 8, literalMode, dictionaryCode};
    std::int64_t produced = 0;
    LandmarkWalk<Place> walk(landmarks_, place.position, firstJoiningStep);
    for (;;) {
        // A stop is a count above stopAt - 1.
        walk.at(place, produced, stopAt - 1);

        // The decoder's checks, in its order: the input, then the distance, then the room.
        const Item item = read(place);
        switch (item.ending) {
            case Ending::InputEnded:
                walk.ended(place);
                return finish(dclInputEnded, produced, 0);
            case Ending::EndCode:
                walk.ended(place);
                return finish(dclComplete, produced, (item.next + 7) / 8);
            case Ending::Continue:
                break;
        }
        if (item.distance > produced) return finish(dclBadDistance, produced, 0);
        if (produced + item.output >= stopAt) return finish(dclStopped, stopAt, 0);
        walk.passed(item.output, Stretch::reaching(item.distance), item.output);
        produced += item.output;
        place.position = item.next;
    }
}

}  // namespace korvel
