// Test-side stream writing shared by the deflate and DCL writers: canonical Huffman codes and a
// bit packer in deflate's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

struct Code {
    std::uint32_t value = 0;
    int length = 0;  // 0: the symbol has no code
};

// Canonical codes from per-symbol lengths (0 to 15): shorter codes first, equal lengths by
// ascending symbol.
inline std::vector<Code> canonicalCodes(const std::vector<int>& lengths) {
    int counts[16] = {};
    for (int length : lengths) ++counts[length];
    counts[0] = 0;
    std::uint32_t next[16] = {};
    std::uint32_t code = 0;
    for (int length = 1; length < 16; ++length) {
        code = (code + static_cast<std::uint32_t>(counts[length - 1])) << 1;
        next[length] = code;
    }
    std::vector<Code> codes(lengths.size());
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] != 0) codes[symbol] = {next[lengths[symbol]]++, lengths[symbol]};
    }
    return codes;
}

// Packs bits the way deflate stores them: fields least significant bit first, Huffman codes
// most significant bit first; the last byte is padded with zeros.
class BitWriter {
public:
    BitWriter& bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) put((value >> i) & 1u);
        return *this;
    }
    BitWriter& code(std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) put((value >> i) & 1u);
        return *this;
    }
    BitWriter& raw(const Bytes& bytes) {
        for (std::uint8_t b : bytes) bits(b, 8);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    void put(std::uint32_t bit) {
        if (bitCount_ % 8 == 0) bytes_.push_back(0);
        bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (bit << (bitCount_ % 8)));
        ++bitCount_;
    }
    Bytes bytes_;
    std::size_t bitCount_ = 0;
};

}  // namespace korvel
