// LZO1X, NRV2B and NRV2D acceptance on streams made by the libraries' own compressors.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "compressors.h"
#include "formats/format_table.h"
#include "formats/lzo/lzo_unpacker.h"
#include "test_support.h"

using namespace korvel;

namespace {

struct LibraryFormat {
    std::string name;
    std::function<Bytes(const Bytes&)> compress;
    const char* switchName;
};

std::ostream& operator<<(std::ostream& out, const LibraryFormat& format) { return out << format.name; }

class LibraryFormatTest : public testing::TestWithParam<LibraryFormat> {
protected:
    // Runs one attempt at `offset` of `input` with an output buffer of `capacity`.
    bool attempt(const Bytes& input, std::uint64_t offset, std::uint32_t capacity, Bytes* output = nullptr,
                 std::uint8_t* spare = nullptr) {
        ScopedScanInput scope(input, capacity);
        scope.state.currentOffset = offset;
        const auto unpacker = findFormat(GetParam().switchName)->makeUnpacker(scope.state);
        const bool found = unpacker->tryUnpack();
        if (output) *output = scope.output();
        if (spare) *spare = scope.spareOutputByte();
        return found;
    }
};

const Bytes plain = textBytes(5000, 7);
const Bytes junk = randomBytes(97, 3);

TEST_P(LibraryFormatTest, StreamAtTheEndOfTheInputIsFoundWhole) {
    const Bytes packed = GetParam().compress(plain);
    Bytes output;
    ASSERT_TRUE(attempt(concat({junk, packed}), junk.size(), 1 << 20, &output));
    EXPECT_EQ(output, plain);
}

TEST_P(LibraryFormatTest, StreamFollowedByOtherDataIsFoundWhole) {
    const Bytes packed = GetParam().compress(plain);
    Bytes output;
    ASSERT_TRUE(attempt(concat({junk, packed, junk}), junk.size(), 1 << 20, &output));
    EXPECT_EQ(output, plain);
}

TEST_P(LibraryFormatTest, StreamCutShortByTheEndOfTheInputIsRejected) {
    Bytes packed = GetParam().compress(plain);
    packed.pop_back();
    EXPECT_FALSE(attempt(concat({junk, packed}), junk.size(), 1 << 20));
}

TEST_P(LibraryFormatTest, StreamLargerThanTheBufferIsRejected) {
    const Bytes packed = GetParam().compress(plain);
    Bytes output;
    std::uint8_t spare = 0;
    EXPECT_FALSE(attempt(packed, 0, 4096, &output, &spare));
    // Nothing lands past the capacity but, for UCL, its one spare byte.
    if (GetParam().name == "LZO") {
        EXPECT_EQ(spare, 0);
    }
}

TEST_P(LibraryFormatTest, StreamOfExactlyTheCapacityIsFoundWithThatSize) {
    const Bytes packed = GetParam().compress(plain);
    Bytes output;
    ASSERT_TRUE(attempt(concat({packed, junk}), 0, static_cast<std::uint32_t>(plain.size()), &output));
    EXPECT_EQ(output.size(), plain.size());
}

TEST_P(LibraryFormatTest, BareEndCodeIsAStreamOnlyAtTheEndOfTheInput) {
    const Bytes endOnly = GetParam().compress({});
    Bytes output;
    EXPECT_TRUE(attempt(concat({junk, endOnly}), junk.size(), 1 << 20, &output));
    EXPECT_TRUE(output.empty());
    EXPECT_FALSE(attempt(concat({junk, endOnly, junk}), junk.size(), 1 << 20));
}

TEST_P(LibraryFormatTest, LastByteOfTheInputIsNeverAStream) {
    for (int byte = 0; byte < 256; ++byte)
        EXPECT_FALSE(attempt({static_cast<std::uint8_t>(byte)}, 0, 1 << 20)) << byte;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LibraryFormatTest,
    testing::Values(LibraryFormat{"LZO", lzoCompress, "lzo"}, LibraryFormat{"UCL2B", ucl2bCompress, "ucl2b"},
                    LibraryFormat{"UCL2D", ucl2dCompress, "ucl2d"}),
    [](const auto& info) { return info.param.name; });

TEST(LzoUnpackerTest, HandBuiltCodes) {
    struct Case {
        Bytes input;
        bool found;
    } cases[] = {
        {{0x11, 0x00, 0x00}, true},             // end code ending the file: a stream of 0 bytes
        {{0x11, 0x00, 0x00, 0x41}, false},      // end code with data after it, nothing produced
        {{0x11, 0x04, 0x00, 0x11, 0x00}, false},  // a match before any output
    };
    for (const auto& c : cases) {
        ScopedScanInput scope(c.input, 1 << 20);
        LzoUnpacker unpacker(scope.state);
        EXPECT_EQ(unpacker.tryUnpack(), c.found) << testing::PrintToString(c.input);
    }
}

}  // namespace
