#include "formats/deflate/deflate_decoder.h"

#include <array>
#include <bit>
#include <cstring>

// The scanner calls rawInflate at every byte offset and nearly every call fails within a few
// bytes, so the design favours cheap failure: a 64-bit bit buffer filled eight bytes at a
// time, table lookups instead of a bit-by-bit code walk, and dynamic headers rejected from
// their counts before any table is built.
//
// Byte accounting: bitBuffer only ever holds bits of bytes already counted as taken (plus,
// above bitCount, copies of the bits that follow them), so the bytes taken are the bytes
// loaded minus the whole bytes still unused in the buffer, exactly what a reader that takes
// one byte whenever it needs a bit reports.

#include "formats/common/lsb_bits.h"
#include "formats/deflate/deflate_reading.h"

namespace korvel {

namespace {

using namespace deflate_tables;

// State of one rawInflate call; lives in that call's frame.
struct InflateContext {
    std::uint8_t* dest;
    std::uint32_t destCapacity;
    std::uint32_t destCount;  // bytes produced; also the reach of match distances
    const std::uint8_t* next;  // next byte to enter bitBuffer
    const std::uint8_t* end;
    std::uint64_t bitBuffer;  // next bit is the least significant one
    unsigned bitCount;        // bits of bytes taken still unused
};

// The decoder's bit reader (see deflate_reading.h), over copies of the context's fields that
// stay in registers while a block is read.
class StreamBits {
public:
    explicit StreamBits(const InflateContext& context)
        : bits_(context.bitBuffer), count_(context.bitCount), next_(context.next), end_(context.end) {}
    void saveTo(InflateContext& context) const {
        context.bitBuffer = bits_;
        context.bitCount = count_;
        context.next = next_;
    }

    // Tops the buffer up to at least 56 bits, or takes every byte left. Bytes are counted as
    // taken only as far as whole bytes fit below bit 64; the bits above the count are the start
    // of the next byte, and the next refill ORs the same values over them.
    [[gnu::always_inline]] void fill() {
        if (end_ - next_ >= 8) {
            bits_ |= loadLittleEndian64(next_) << count_;
            next_ += (63 - count_) >> 3;
            count_ |= 56;
        } else {
            while (count_ <= 56 && next_ < end_) {
                bits_ |= std::uint64_t{*next_++} << count_;
                count_ += 8;
            }
        }
    }
    [[gnu::always_inline]] void want(unsigned n) {
        if (count_ < n) fill();
    }
    std::uint64_t peek() const { return bits_; }
    std::uint64_t available() const { return count_; }
    void skip(unsigned n) {
        bits_ >>= n;
        count_ -= n;
    }

private:
    std::uint64_t bits_;
    unsigned count_;
    const std::uint8_t* next_;
    const std::uint8_t* const end_;
};

// The literal/length/distance loop of a fixed or dynamic block; the fixed code's tables have
// no subtables. Inlined where it is called: rawInflate and the short attempt each instantiate
// the block loop, and a call here cost random bytes a tenth of their speed.
template <bool mayLink>
[[gnu::always_inline]] inline InflateResult decodeSymbols(InflateContext& context, const std::uint32_t* literalTable,
                                                          const std::uint32_t* distanceTable) {
    StreamBits bits(context);
    std::uint8_t* const dest = context.dest;
    const std::uint32_t capacity = context.destCapacity;
    std::uint32_t produced = context.destCount;
    InflateResult result;
    for (;;) {
        const Symbol symbol = readSymbol<mayLink>(bits, literalTable, distanceTable);
        if (symbol.kind == Symbol::Literal) {
            if (produced == capacity) {
                result = inflateOutputFull;
                break;
            }
            dest[produced++] = static_cast<std::uint8_t>(symbol.value);
            continue;
        }
        if (symbol.kind != Symbol::Match) {
            result = symbol.kind == Symbol::End ? inflateComplete : symbol.failure;
            break;
        }
        const std::uint32_t matchLength = symbol.value, distance = symbol.distance;
        if (distance > produced) {
            result = inflateDistanceTooFar;
            break;
        }
        if (matchLength > capacity - produced) {
            result = inflateOutputFull;
            break;
        }
        std::uint8_t* to = dest + produced;
        const std::uint8_t* from = to - distance;
        // Exactly matchLength bytes are written: what lies past them must stay as it was.
        if (distance >= matchLength) {
            std::memcpy(to, from, matchLength);
        } else if (distance == 1) {
            std::memset(to, *from, matchLength);
        } else {
            // Overlapping: repeats the bytes just written, in steps no longer than the distance.
            std::uint32_t i = 0;
            if (distance >= 8) {
                for (; i + 8 <= matchLength; i += 8) std::memcpy(to + i, from + i, 8);
            }
            for (; i < matchLength; ++i) to[i] = from[i];
        }
        produced += matchLength;
    }
    bits.saveTo(context);
    context.destCount = produced;
    return result;
}

[[gnu::always_inline]] inline InflateResult storedBlock(InflateContext& context) {
    // LEN starts at the next byte boundary: whole unused bytes go back to the source.
    context.next -= context.bitCount >> 3;
    context.bitBuffer = 0;
    context.bitCount = 0;
    const StoredLength stored = readStoredLength(context.next, static_cast<std::uint64_t>(context.end - context.next));
    if (stored.result == inflateInputEnded) return inflateInputEnded;
    context.next += stored.taken;
    if (stored.result != inflateComplete) return stored.result;
    const unsigned length = stored.length;
    if (static_cast<std::uint64_t>(context.end - context.next) < length) return inflateInputEnded;
    if (length > context.destCapacity - context.destCount) return inflateOutputFull;
    if (length != 0) {
        std::memcpy(context.dest + context.destCount, context.next, length);
        context.destCount += length;
        context.next += length;
    }
    return inflateComplete;
}

InflateResult dynamicBlock(InflateContext& context) {
    StreamBits bits(context);
    CodeLengths code;
    const InflateResult read = readCodeLengths(bits, code);
    bits.saveTo(context);
    if (read != inflateComplete) return read;
    std::uint32_t literalEntries[literalTableSize];
    std::uint32_t distanceEntries[distanceTableSize];
    const InflateResult built =
        buildDynamicCodes(code.lengths, code.literalCount, code.distanceCount, literalEntries, distanceEntries);
    if (built != inflateComplete) return built;
    return decodeSymbols<true>(context, literalEntries, distanceEntries);
}

template <unsigned maxBlocks>
InflateResult inflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source, std::uint64_t* sourceLen) {
    if (*sourceLen == 0) return inflateInputEnded;
    // The first block's type decides most attempts, and it is as good as random: it is read
    // straight from the first byte, so that the branch on it resolves as early as it can.
    const unsigned header = source[0];
    InflateContext context{dest, *destLen, 0, source + 1, source + *sourceLen, header >> 3, 5};
    bool last = (header & 1) != 0;
    unsigned type = header >> 1 & 3;
    InflateResult result;
    [[maybe_unused]] unsigned blocks = 0;
    for (;;) {
        switch (type) {
            case 0:
                result = storedBlock(context);
                break;
            case 1:
                result = decodeSymbols<false>(context, fixedTables.literal, fixedTables.distance);
                break;
            case 2:
                result = dynamicBlock(context);
                break;
            default:
                result = inflateBadBlockType;
                break;
        }
        if (result != inflateComplete || last) break;
        if constexpr (maxBlocks != 0) {
            if (++blocks == maxBlocks) return inflateInputEnded;
        }
        if (context.bitCount < 3) {
            StreamBits bits(context);
            bits.want(3);
            bits.saveTo(context);
        }
        if (context.bitCount < 3) return inflateInputEnded;
        last = (context.bitBuffer & 1) != 0;
        type = context.bitBuffer >> 1 & 3;
        context.bitBuffer >>= 3;
        context.bitCount -= 3;
    }

    if (result <= 0) {
        *destLen = context.destCount;
        *sourceLen = static_cast<std::uint64_t>(context.next - source) - context.bitCount / 8;
    }
    return result;
}

}  // namespace

InflateResult rawInflate(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                         std::uint64_t* sourceLen) {
    return inflate<0>(dest, destLen, source, sourceLen);
}

InflateResult rawInflateFewBlocks(std::uint8_t* dest, std::uint32_t* destLen, const std::uint8_t* source,
                                  std::uint64_t* sourceLen) {
    return inflate<fewBlocks>(dest, destLen, source, sourceLen);
}

}  // namespace korvel
