#include "dcl_writer.h"

#include <algorithm>
#include <stdexcept>

#include "canonical_codes.h"

namespace korvel {

namespace {

std::vector<int> runLengths(std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int> lengths;
    for (const auto& [count, length] : runs) lengths.insert(lengths.end(), static_cast<std::size_t>(count), length);
    return lengths;
}

const std::vector<Code>& literalCodes() {
    static const std::vector<Code> codes = [] {
        static const std::uint8_t compact[] = {
            11, 124, 8,  7,  28, 7,   188, 13,  76,  4,   10,  8,   12, 10, 12, 10, 8,  23, 8,  9,
            7,  6,   7,  8,  7,  6,   55,  8,   23,  24,  12,  11,  7,  9,  11, 12, 6,  7,  22, 5,
            7,  24,  6,  11, 9,  6,   7,   22,  7,   11,  38,  7,   9,  8,  25, 11, 8,  11, 9,  12,
            8,  12,  5,  38, 5,  38,  5,   11,  7,   5,   6,   21,  6,  10, 53, 8,  7,  24, 10, 27,
            44, 253, 253, 253, 252, 252, 252, 13, 12, 45, 12, 45, 12, 61, 12, 45, 44, 173};
        std::vector<int> lengths;
        for (std::uint8_t entry : compact) lengths.insert(lengths.end(), (entry >> 4) + 1u, entry & 0x0F);
        return canonicalCodes(lengths);
    }();
    return codes;
}

const std::vector<Code>& lengthCodes() {
    static const std::vector<Code> codes = canonicalCodes(runLengths({{1, 2}, {3, 3}, {3, 4}, {4, 5}, {3, 6}, {2, 7}}));
    return codes;
}

const std::vector<Code>& distanceCodes() {
    static const std::vector<Code> codes =
        canonicalCodes(runLengths({{1, 2}, {2, 4}, {4, 5}, {15, 6}, {26, 7}, {16, 8}}));
    return codes;
}

constexpr unsigned lengthBases[16] = {3, 2, 4, 5, 6, 7, 8, 9, 10, 12, 16, 24, 40, 72, 136, 264};
constexpr int lengthExtras[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};

}  // namespace

DclWriter::DclWriter(int literalMode, int dictionaryCode) : literalMode_(literalMode), dictionaryCode_(dictionaryCode) {
    bits(static_cast<std::uint32_t>(literalMode), 8);
    bits(static_cast<std::uint32_t>(dictionaryCode), 8);
}

void DclWriter::putBit(int bit) {
    if (bitPos_ == 0 || bitPos_ == 8) {
        out_.push_back(0);
        bitPos_ = 0;
    }
    if (bit) out_.back() = static_cast<std::uint8_t>(out_.back() | (1u << bitPos_));
    ++bitPos_;
}

void DclWriter::putCode(std::uint32_t code, int length) {
    // Codes go most significant bit first, each bit inverted.
    for (int i = length - 1; i >= 0; --i) putBit(((code >> i) & 1u) ^ 1u);
}

DclWriter& DclWriter::bits(std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) putBit((value >> i) & 1u);
    return *this;
}

DclWriter& DclWriter::literal(std::uint8_t value) {
    putBit(0);
    if (literalMode_ == 1) {
        const Code& code = literalCodes()[value];
        putCode(code.value, code.length);
    } else {
        bits(value, 8);
    }
    return *this;
}

unsigned DclWriter::maxDistance(unsigned length) const {
    const int lowBits = length == 2 ? 2 : dictionaryCode_;
    return 64u << lowBits;
}

DclWriter& DclWriter::match(unsigned length, unsigned distance) {
    if (length < 2 || length > 518 || distance < 1 || distance > maxDistance(length))
        throw std::invalid_argument("DclWriter::match out of range");
    // Bases ascend from symbol 1 on; symbol 0 (length 3) sits before symbol 1 (length 2).
    int symbol = 15;
    while (symbol > 1 && lengthBases[symbol] > length) --symbol;
    if (length == 3) symbol = 0;
    putBit(1);
    putCode(lengthCodes()[static_cast<std::size_t>(symbol)].value, lengthCodes()[static_cast<std::size_t>(symbol)].length);
    bits(length - lengthBases[symbol], lengthExtras[symbol]);
    const int lowBits = length == 2 ? 2 : dictionaryCode_;
    const unsigned high = (distance - 1) >> lowBits;
    putCode(distanceCodes()[high].value, distanceCodes()[high].length);
    bits(distance - 1, lowBits);
    return *this;
}

Bytes DclWriter::unfinished() const { return out_; }

Bytes DclWriter::end() {
    putBit(1);
    putCode(lengthCodes()[15].value, lengthCodes()[15].length);
    bits(255, 8);
    return out_;
}

Bytes dclCompress(const Bytes& data, int literalMode, int dictionaryCode) {
    DclWriter writer(literalMode, dictionaryCode);
    const std::size_t size = data.size();
    const std::size_t farthest = writer.maxDistance(3);
    constexpr std::size_t hashSize = 1u << 15;
    constexpr int chainDepth = 64;
    std::vector<std::ptrdiff_t> head(hashSize, -1);
    std::vector<std::ptrdiff_t> previous(size, -1);
    auto hashAt = [&](std::size_t p) { return ((data[p] << 10) ^ (data[p + 1] << 5) ^ data[p + 2]) & (hashSize - 1); };
    auto insert = [&](std::size_t p) {
        if (p + 2 >= size) return;
        const std::size_t h = hashAt(p);
        previous[p] = head[h];
        head[h] = static_cast<std::ptrdiff_t>(p);
    };

    std::size_t pos = 0;
    while (pos < size) {
        std::size_t bestLength = 0;
        std::size_t bestDistance = 0;
        if (pos + 2 < size) {
            const std::size_t limit = std::min<std::size_t>(518, size - pos);
            std::ptrdiff_t candidate = head[hashAt(pos)];
            for (int depth = 0; candidate >= 0 && depth < chainDepth; ++depth) {
                const auto from = static_cast<std::size_t>(candidate);
                if (pos - from > farthest) break;
                std::size_t length = 0;
                while (length < limit && data[from + length] == data[pos + length]) ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestDistance = pos - from;
                    if (length == limit) break;
                }
                candidate = previous[from];
            }
        }
        if (bestLength >= 3) {
            writer.match(static_cast<unsigned>(bestLength), static_cast<unsigned>(bestDistance));
            for (std::size_t i = 0; i < bestLength; ++i) insert(pos + i);
            pos += bestLength;
        } else {
            writer.literal(data[pos]);
            insert(pos);
            ++pos;
        }
    }
    return writer.end();
}

}  // namespace korvel
