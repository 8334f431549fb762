// Evidence that a found stream is a real one, read from the input bytes around it and from its
// decoded bytes, never from knowledge of any container format: what containers of every kind
// store next to the data they compress (its sizes, a checksum of what it decodes to, a wrapper
// header) is rare next to the streams that ordinary bytes decode to by chance.
//
// Every item is weighed in bits: the number of times, as a power of two, that the match is less
// likely by chance than a fair coin. A field holding a size is weighed by how likely its value
// is among integers of its width (small and round values are common everywhere), less what
// looking at many places and widths costs. Thread safety: plain functions and values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/found_stream.h"

namespace korvel {

// What a size field holds.
enum class SizeQuantity : std::uint8_t {
    Compressed,  // the stream's input bytes: end - offset
    Decoded,     // its decoded size
    Wrapped,     // its input bytes with the zlib header and checksum around them
};

enum class EvidenceKind : std::uint8_t {
    SizeField,   // one field
    SizePair,    // two fields near each other, one of each kind of size
    Layout,      // a field at the same place as for other streams of the format nearby
    Checksum,    // CRC-32 or Adler-32 of the decoded bytes
    ZlibHeader,  // a zlib header just before the start, with its Adler-32 just after the end
    GzipHeader,  // a gzip member header that ends at the start
    Tiling,      // the stream starts where another of its format ends, or ends where one starts
};
// "size", "size_pair", "layout", "checksum", "zlib_header", "gzip_header", "tiling".
const char* evidenceKindName(EvidenceKind kind);

// Where a field lies: `distance` bytes before the start (its last byte at offset - distance - 1)
// or after the end (its first byte at end + distance).
struct FieldPlace {
    bool afterEnd = false;
    std::uint8_t distance = 0;
    std::uint8_t width = 0;  // 2, 4 or 8 bytes
    bool bigEndian = false;
};

struct SizeFieldMatch {
    SizeQuantity quantity;
    FieldPlace place;
    std::uint64_t value;
};

enum class ChecksumKind : std::uint8_t { Crc32, Adler32 };

struct EvidenceItem {
    EvidenceKind kind;
    float bits;
    SizeFieldMatch field{};   // SizeField, SizePair (its first field), Layout; Checksum: where it lies
    SizeFieldMatch second{};  // SizePair: its second field
    ChecksumKind checksum{};  // Checksum
    bool tilesAtStart = false, tilesAtEnd = false;  // Tiling
    std::uint32_t streams = 0;   // Layout: other streams nearby with the field at that place
    std::uint64_t at = 0;        // ZlibHeader, GzipHeader: where the header begins
};

// A stream's evidence: the strongest item of each independent kind (the sizes it stores, a
// checksum, a wrapper header, tiling). Items of one kind read the same bytes and are not
// independent, so only the strongest counts; items of different kinds add up.
class EvidenceList {
public:
    static constexpr std::size_t capacity = 4;
    void add(const EvidenceItem& item);
    std::span<const EvidenceItem> items() const { return {items_.data(), count_}; }
    float totalBits() const;

private:
    std::array<EvidenceItem, capacity> items_{};
    std::size_t count_ = 0;
};

// Bits at and above which evidence makes a stream real: by chance, about one stream in 32,768
// has it, while ordinary files yield some tens of thousands of streams per MiB. (In 8 MB of
// shared libraries, 420,000 streams, one had 16.7 bits of size fields, the next 13.9.)
inline constexpr float realEvidenceBits = 15.0f;
// Tiling with the next stream, not judged yet, counts for at most this much: in machine code and
// tables, streams of one format are so dense in places that they tile by chance, however rare
// they are around.
inline constexpr float tilingMostBits = 2.0f;

// How unlikely a `width`-byte field is to hold `value` by chance, in bits: all bit lengths are
// taken as equally likely and every value of one length too, except that a value's low zero bits
// count for nothing (round values are common) and all-ones values count as one bit.
float valueSurpriseBits(std::uint64_t value, unsigned width);

// The fields around a stream that hold one of its sizes, best first by bits, at most `limit`.
// `wrapped` is 0 when the stream has no wrapper.
struct SizeQuantities {
    std::uint64_t compressed, decoded, wrapped;
};
std::size_t findSizeFields(const StreamSurroundings& around, const SizeQuantities& sizes,
                           std::span<SizeFieldMatch> matches);
// Weighs one field match, and the best pair among `matches`, and adds both to `evidence`. True
// when there is a pair at all, however weak: a header that stores both sizes often stores a
// checksum too.
bool weighSizeFields(std::span<const SizeFieldMatch> matches, EvidenceList& evidence);
float sizeFieldBits(const SizeFieldMatch& match);

// A zlib header (compression method 8, a window of at most 32 KiB, no preset dictionary, a
// valid check) in the two bytes before the start.
bool zlibHeaderBefore(const StreamSurroundings& around);
// 1 in 32 first bytes, 1 in 31 second, no dictionary: 1 in 2; and the Adler-32 at the end.
inline constexpr float zlibHeaderBits = 11.0f + 32.0f;
// A gzip member header (magic, deflate, no reserved flag, its optional parts) that ends exactly
// at the start: its first byte's offset from the stream's, or 0 when there is none.
std::size_t gzipHeaderLength(const StreamSurroundings& around);
// Magic, method and reserved flags (27 bits), less the 128 places a header could begin.
inline constexpr float gzipHeaderBits = 20.0f;

// Shannon entropy, in bits a byte, of bytes counted by value.
double entropyBits(const std::array<std::uint64_t, 256>& counts);

std::uint32_t crc32(std::span<const std::uint8_t> bytes);
std::uint32_t adler32(std::span<const std::uint8_t> bytes);
// A checksum of `decoded` stored in either byte order before the start or after the end.
bool findChecksum(const StreamSurroundings& around, std::span<const std::uint8_t> decoded, EvidenceItem& item);

}  // namespace korvel
