// Writes PKWare DCL streams, for tests and sample files. Independent of the decoder's tables.
#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

class DclWriter {
public:
    // literalMode 0: literals as 8 plain bits; 1: coded. dictionaryCode 4, 5 or 6. Both are
    // written as given, so malformed headers can be made too.
    explicit DclWriter(int literalMode = 0, int dictionaryCode = 6);

    DclWriter& literal(std::uint8_t value);
    // length 2..518; distance 1..maxDistance(length). Throws std::invalid_argument otherwise.
    DclWriter& match(unsigned length, unsigned distance);
    // Raw plain bits, first bit lowest, for hand-made streams.
    DclWriter& bits(std::uint32_t value, int count);

    // The stream so far without an end code (the last byte zero-padded).
    Bytes unfinished() const;
    // Appends the end code and returns the stream.
    Bytes end();

    unsigned maxDistance(unsigned length) const;

private:
    void putBit(int bit);
    void putCode(std::uint32_t code, int length);

    int literalMode_;
    int dictionaryCode_;
    Bytes out_;
    int bitPos_ = 0;  // bits used in out_.back(); 0 or 8 means a fresh byte is needed
};

// Compresses `data` greedily with matches of length 3 or more; the result decodes to `data`.
Bytes dclCompress(const Bytes& data, int literalMode = 1, int dictionaryCode = 6);

}  // namespace korvel
