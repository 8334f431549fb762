#include "output/evidence.h"

#include <algorithm>
#include <bit>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel {

const char* evidenceKindName(EvidenceKind kind) {
    switch (kind) {
        case EvidenceKind::SizeField:
            return "size";
        case EvidenceKind::SizePair:
            return "size_pair";
        case EvidenceKind::Layout:
            return "layout";
        case EvidenceKind::Checksum:
            return "checksum";
        case EvidenceKind::ZlibHeader:
            return "zlib_header";
        case EvidenceKind::GzipHeader:
            return "gzip_header";
        case EvidenceKind::Tiling:
            return "tiling";
    }
    return "tiling";
}

namespace {

// Looking at two sides, three widths, two byte orders and two sizes: 24 places per distance.
const float lookElsewhereBits = std::log2(24.0f);

int group(EvidenceKind kind) {
    switch (kind) {
        case EvidenceKind::SizeField:
        case EvidenceKind::SizePair:
        case EvidenceKind::Layout:
            return 0;
        case EvidenceKind::Checksum:
            return 1;
        case EvidenceKind::ZlibHeader:
        case EvidenceKind::GzipHeader:
            return 2;
        case EvidenceKind::Tiling:
            return 3;
    }
    return 3;
}

std::uint64_t readField(const std::uint8_t* bytes, unsigned width, bool bigEndian) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= std::uint64_t{bytes[bigEndian ? width - 1 - i : i]} << (8 * i);
    return value;
}

bool fits(std::uint64_t value, unsigned width) { return width == 8 || value >> (8 * width) == 0; }

// Keeps the `matches.size()` best matches seen, by bits.
class MatchCollector {
public:
    explicit MatchCollector(std::span<SizeFieldMatch> matches) : matches_(matches) {}
    void add(const SizeFieldMatch& match) {
        if (count_ < matches_.size()) {
            matches_[count_++] = match;
            return;
        }
        auto weakest = std::min_element(matches_.begin(), matches_.end(), [](const auto& a, const auto& b) {
            return sizeFieldBits(a) < sizeFieldBits(b);
        });
        if (sizeFieldBits(*weakest) < sizeFieldBits(match)) *weakest = match;
    }
    std::size_t count() const { return count_; }

private:
    std::span<SizeFieldMatch> matches_;
    std::size_t count_ = 0;
};

// Bit i of the result is set where window[i] == first and window[i + 1] == second. The windows
// are read at every found stream, so the byte pairs are compared sixteen at a time.
std::array<std::uint64_t, 4> bytePairs(std::span<const std::uint8_t> window, std::uint8_t first, std::uint8_t second) {
    static_assert(StreamSurroundings::beforeCapacity <= 256 && StreamSurroundings::afterCapacity <= 256);
    std::array<std::uint64_t, 4> hits{};
    const std::size_t pairs = window.size() < 2 ? 0 : window.size() - 1;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i wantFirst = _mm_set1_epi8(static_cast<char>(first));
    const __m128i wantSecond = _mm_set1_epi8(static_cast<char>(second));
    for (; i + 17 <= window.size(); i += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window.data() + i));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window.data() + i + 1));
        const auto mask = static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(here, wantFirst), _mm_cmpeq_epi8(next, wantSecond)))));
        hits[i / 64] |= mask << (i % 64);
    }
#endif
    for (; i < pairs; ++i)
        if (window[i] == first && window[i + 1] == second) hits[i / 64] |= std::uint64_t{1} << (i % 64);
    return hits;
}

// Every field in `window` that holds one of the sizes. A field in either byte order holds the
// value's low two bytes next to each other, in one order or the other: only where they lie are
// the wider readings worth making.
void scanWindow(std::span<const std::uint8_t> window, bool afterEnd, const SizeQuantities& sizes,
                MatchCollector& collector) {
    const std::pair<SizeQuantity, std::uint64_t> quantities[] = {
        {SizeQuantity::Compressed, sizes.compressed},
        {SizeQuantity::Decoded, sizes.decoded},
        {SizeQuantity::Wrapped, sizes.wrapped},
    };
    const std::size_t count = window.size();
    for (const auto& [quantity, value] : quantities) {
        if (value == 0) continue;
        const auto low = static_cast<std::uint8_t>(value);
        const auto high = static_cast<std::uint8_t>(value >> 8);
        for (const bool bigEndian : {false, true}) {
            const auto hits = bigEndian ? bytePairs(window, high, low) : bytePairs(window, low, high);
            for (std::size_t word = 0; word < hits.size(); ++word) {
                for (std::uint64_t bits = hits[word]; bits != 0; bits &= bits - 1) {
                    const std::size_t i = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                    for (const unsigned width : {2u, 4u, 8u}) {
                        // A little-endian field starts with the low bytes, a big-endian one ends with them.
                        if (!fits(value, width) || (bigEndian && i + 2 < width)) continue;
                        const std::size_t first = bigEndian ? i + 2 - width : i;
                        if (first + width > count || readField(&window[first], width, bigEndian) != value) continue;
                        const std::size_t distance = afterEnd ? first : count - (first + width);
                        collector.add({quantity,
                                       {afterEnd, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(width),
                                        bigEndian},
                                       value});
                    }
                }
            }
        }
    }
}

// Where a field begins, in bytes from the stream's start (negative) or end (positive), for
// telling how far apart two fields on one side are.
long fieldStart(const FieldPlace& place) {
    return place.afterEnd ? place.distance : -static_cast<long>(place.distance) - place.width;
}

}  // namespace

void EvidenceList::add(const EvidenceItem& item) {
    auto* same = std::find_if(items_.begin(), items_.begin() + static_cast<long>(count_),
                              [&](const EvidenceItem& held) { return group(held.kind) == group(item.kind); });
    if (same != items_.begin() + static_cast<long>(count_)) {
        if (same->bits >= item.bits) return;
        *same = item;
    } else {
        items_[count_++] = item;
    }
    std::sort(items_.begin(), items_.begin() + static_cast<long>(count_),
              [](const EvidenceItem& a, const EvidenceItem& b) { return a.bits > b.bits; });
}

float EvidenceList::totalBits() const {
    float total = 0;
    for (const auto& item : items()) total += std::max(item.bits, 0.0f);
    return total;
}

float valueSurpriseBits(std::uint64_t value, unsigned width) {
    if (value == 0) return 0;
    const auto length = static_cast<unsigned>(std::bit_width(value));
    // Round values (4,608 is 0x1200) are everywhere in data: a value's low zero bits say nothing.
    // All-ones values are as common as the round ones.
    const unsigned lowZeros = std::has_single_bit(value + 1) ? length - 1 : static_cast<unsigned>(std::countr_zero(value));
    return std::log2(8.0f * static_cast<float>(width) + 1) + static_cast<float>(length - 1 - lowZeros);
}

float sizeFieldBits(const SizeFieldMatch& match) {
    return valueSurpriseBits(match.value, match.place.width) - std::log2(match.place.distance + 1.0f) -
           lookElsewhereBits;
}

std::size_t findSizeFields(const StreamSurroundings& around, const SizeQuantities& sizes,
                           std::span<SizeFieldMatch> matches) {
    MatchCollector collector(matches);
    scanWindow(around.bytesBefore(), false, sizes, collector);
    scanWindow(around.bytesAfter(), true, sizes, collector);
    return collector.count();
}

bool weighSizeFields(std::span<const SizeFieldMatch> matches, EvidenceList& evidence) {
    bool paired = false;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const SizeFieldMatch& first = matches[i];
        EvidenceItem single{EvidenceKind::SizeField, sizeFieldBits(first)};
        single.field = first;
        evidence.add(single);
        // A second field near the first, holding the other kind of size: a header that stores both.
        for (std::size_t j = i + 1; j < matches.size(); ++j) {
            const SizeFieldMatch& second = matches[j];
            if ((first.quantity == SizeQuantity::Decoded) == (second.quantity == SizeQuantity::Decoded)) continue;
            if (first.place.afterEnd != second.place.afterEnd) continue;
            const long a = fieldStart(first.place), b = fieldStart(second.place);
            const long gap = std::abs(a - b);
            const long apart = a < b ? b - (a + first.place.width) : a - (b + second.place.width);
            if (apart < 0 || gap > 16) continue;  // overlapping, or too far apart to be one header
            EvidenceItem pair{EvidenceKind::SizePair,
                              valueSurpriseBits(first.value, first.place.width) +
                                  valueSurpriseBits(second.value, second.place.width) -
                                  std::log2(std::min(first.place.distance, second.place.distance) + 1.0f) -
                                  lookElsewhereBits - std::log2(2.0f * static_cast<float>(gap) + 1) -
                                  std::log2(6.0f)};  // the second field's width and order
            pair.field = first;
            pair.second = second;
            evidence.add(pair);
            paired = true;
        }
    }
    return paired;
}

bool zlibHeaderBefore(const StreamSurroundings& around) {
    const auto before = around.bytesBefore();
    if (before.size() < 2) return false;
    const unsigned method = before[before.size() - 2], flags = before[before.size() - 1];
    return (method & 0x0f) == 8 && (method >> 4) <= 7 && (method * 256 + flags) % 31 == 0 && (flags & 0x20) == 0;
}

std::size_t gzipHeaderLength(const StreamSurroundings& around) {
    const auto before = around.bytesBefore();
    const std::size_t count = before.size();
    constexpr unsigned headerCrc = 2, extra = 4, name = 8, comment = 16;
    // The shortest header is ten bytes; the nearest one that ends at the start wins.
    for (std::size_t length = 10; length <= count; ++length) {
        const std::size_t at = count - length;
        if (before[at] != 0x1f || before[at + 1] != 0x8b || before[at + 2] != 8) continue;
        const unsigned flags = before[at + 3];
        if ((flags & 0xe0) != 0) continue;
        std::size_t position = at + 10;
        if ((flags & extra) != 0) {
            if (position + 2 > count) continue;
            position += 2 + (before[position] | std::size_t{before[position + 1]} << 8);
        }
        for (const unsigned text : {name, comment}) {
            if ((flags & text) == 0) continue;
            while (position < count && before[position] != 0) ++position;
            ++position;  // the terminating zero
        }
        if ((flags & headerCrc) != 0) position += 2;
        if (position == count) return length;
    }
    return 0;
}

double entropyBits(const std::array<std::uint64_t, 256>& counts) {
    std::uint64_t total = 0;
    for (const std::uint64_t count : counts) total += count;
    double bits = 0;
    for (const std::uint64_t count : counts) {
        if (count == 0) continue;
        const double share = static_cast<double>(count) / static_cast<double>(total);
        bits -= share * std::log2(share);
    }
    return bits;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (value & 1 ? 0xedb88320u : 0);
            entries[i] = value;
        }
        return entries;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (const std::uint8_t byte : bytes) crc = table[(crc ^ byte) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t adler32(std::span<const std::uint8_t> bytes) {
    constexpr std::uint32_t modulus = 65521;
    constexpr std::size_t longestRun = 5552;  // the most bytes whose sums cannot overflow 32 bits
    std::uint32_t a = 1, b = 0;
    for (std::size_t begin = 0; begin < bytes.size(); begin += longestRun) {
        const std::size_t end = std::min(bytes.size(), begin + longestRun);
        for (std::size_t i = begin; i < end; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= modulus;
        b %= modulus;
    }
    return b << 16 | a;
}

bool findChecksum(const StreamSurroundings& around, std::span<const std::uint8_t> decoded, EvidenceItem& item) {
    const std::pair<ChecksumKind, std::uint32_t> sums[] = {{ChecksumKind::Crc32, crc32(decoded)},
                                                           {ChecksumKind::Adler32, adler32(decoded)}};
    // A sum of a few bytes takes few values (a CRC-32 of one byte, 256; an Adler-32 of n bytes,
    // some (255 n)^2, and small ones common in data): it is worth what its bytes could hold.
    // Then two sums in two orders, at every place of both windows.
    const float decodedBits = 8.0f * static_cast<float>(std::min<std::size_t>(decoded.size(), 4));
    const float adlerBits = std::min(32.0f, 2 * std::log2(255.0f * static_cast<float>(decoded.size()) + 1));
    const float lookedAt = std::log2(4.0f * (StreamSurroundings::beforeCapacity + StreamSurroundings::afterCapacity));
    for (const bool afterEnd : {true, false}) {
        const auto window = afterEnd ? around.bytesAfter() : around.bytesBefore();
        for (std::size_t distance = 0; distance + 4 <= window.size(); ++distance) {
            const std::size_t first = afterEnd ? distance : window.size() - 4 - distance;
            for (const auto& [kind, sum] : sums) {
                for (const bool bigEndian : {false, true}) {
                    if (readField(&window[first], 4, bigEndian) != sum) continue;
                    item = {EvidenceKind::Checksum, (kind == ChecksumKind::Crc32 ? decodedBits : adlerBits) - lookedAt};
                    item.checksum = kind;
                    item.field.place = {afterEnd, static_cast<std::uint8_t>(distance), 4, bigEndian};
                    item.field.value = sum;
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace korvel
