// The LZO1X pre-check against the library: the same answers at every offset, with the pre-check
// on and off, and its own outcomes equal to lzo1x_decompress_safe's.
#include <gtest/gtest.h>

#include <elf.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>

#include "chain_patterns.h"
#include "compressors.h"
#include "core/unpacker.h"
#include "formats/lzo/lzo_precheck.h"
#include "formats/lzo/lzo_unpacker.h"
#include "test_support.h"

using namespace korvel;

namespace {

// Up to `limit` bytes of this test program's own machine code, from the middle of its .text.
Bytes ownMachineCode(std::size_t limit) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    const auto readAt = [&](std::uint64_t offset, void* to, std::size_t count) {
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(static_cast<char*>(to), static_cast<std::streamsize>(count));
    };
    Elf64_Ehdr header{};
    readAt(0, &header, sizeof header);
    const auto sectionAt = [&](std::size_t index) {
        Elf64_Shdr section{};
        readAt(header.e_shoff + index * header.e_shentsize, &section, sizeof section);
        return section;
    };
    const Elf64_Shdr names = sectionAt(header.e_shstrndx);
    for (std::size_t index = 0; index < header.e_shnum; ++index) {
        const Elf64_Shdr section = sectionAt(index);
        char name[6] = {};
        readAt(names.sh_offset + section.sh_name, name, sizeof name);
        if (std::memcmp(name, ".text", sizeof name) != 0) continue;
        Bytes code(std::min<std::size_t>(section.sh_size, limit));
        readAt(section.sh_offset + (section.sh_size - code.size()) / 2, code.data(), code.size());
        return file ? code : Bytes{};
    }
    return {};
}

// Random bytes with zero runs of the given lengths between them; the last run ends the input.
Bytes withZeroRuns(std::initializer_list<std::size_t> runs, std::uint32_t seed) {
    Bytes data;
    for (const std::size_t run : runs) {
        const Bytes noise = randomBytes(40 + seed % 50, seed);
        ++seed;
        data.insert(data.end(), noise.begin(), noise.end());
        data.insert(data.end(), run, 0);
    }
    return data;
}

// Mostly zero bytes: every code is short and every length field has zero bytes in it.
Bytes sparse(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data(count);
    for (auto& byte : data) byte = random() % 4 == 0 ? static_cast<std::uint8_t>(random()) : 0;
    return data;
}

Bytes repeated(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

// Real streams: long literal runs and long matches have lengths with 255 and more zero bytes.
Bytes streams() {
    return concat({randomBytes(33, 1), lzoCompress(textBytes(9000, 4)), randomBytes(20, 2),
                   lzoCompress(randomBytes(66000, 5)), lzoCompress(repeated(70000, 'a')), randomBytes(7, 3),
                   lzoCompress(concat({textBytes(3000, 6), repeated(20000, 0), textBytes(500, 7)})),
                   lzoCompress(textBytes(700, 8))});
}

// Those streams with bits flipped here and there and cut short.
Bytes damagedStreams() {
    Bytes data;
    std::mt19937 random(11);
    for (const Bytes& plain : {textBytes(6000, 12), concat({textBytes(800, 13), repeated(9000, 'x')})}) {
        const Bytes packed = lzoCompress(plain);
        for (int variant = 0; variant < 6; ++variant) {
            Bytes copy = packed;
            for (int flip = 0; flip < variant; ++flip) copy[random() % copy.size()] ^= 1u << (random() % 8);
            if (variant % 2 == 1) copy.resize(random() % copy.size());
            data.insert(data.end(), copy.begin(), copy.end());
        }
    }
    return data;
}

struct Sample {
    std::string name;
    std::function<Bytes()> make;
};

std::ostream& operator<<(std::ostream& out, const Sample& sample) { return out << sample.name; }

const Sample samples[] = {
    {"Random", [] { return randomBytes(12000, 21); }},
    {"Text", [] { return textBytes(12000, 22); }},
    {"MachineCode", [] { return ownMachineCode(12 << 10); }},
    {"Sparse", [] { return sparse(12000, 23); }},
    {"ZeroRuns", [] { return withZeroRuns({1, 2, 3, 4, 254, 255, 256, 257, 600, 3000, 1, 15, 18, 2500}, 24); }},
    {"Streams", streams},
    {"DamagedStreams", damagedStreams},
    {"RunsOfEveryByte", [] { return runsOfEveryByte(100); }},
    {"Periodic", [] { return periodicPatterns(800, 25); }},
    {"LiteralRunChain", [] { return repeatedTo(lzoLiteralRunChainPeriod(), 12000); }},
    {"WholeExecutable", [] { return wholeExecutable(16 << 10); }},
};

struct Attempt {
    bool found = false;
    std::uint32_t size = 0;  // on a yes
    Bytes saved;             // on a yes that is saved
    bool operator==(const Attempt&) const = default;
};

// tryUnpack at every offset of `input`, as the scan loop calls it.
std::vector<Attempt> scanEveryOffset(const Bytes& input, std::uint32_t capacity, std::uint32_t skip, bool precheck) {
    ScopedScanInput scope(input, capacity);
    scope.state.sizes.skipSize = skip;
    scope.state.dryRuns = precheck;
    LzoUnpacker unpacker(scope.state);
    std::vector<Attempt> attempts(input.size());
    for (std::size_t offset = 0; offset < input.size(); ++offset) {
        scope.state.currentOffset = offset;
        auto& attempt = attempts[offset];
        attempt.found = unpacker.tryUnpack();
        if (!attempt.found) continue;
        attempt.size = scope.state.outputSize;
        if (attempt.size > skip && attempt.size < capacity) attempt.saved = scope.output();
    }
    return attempts;
}

std::size_t firstDifference(const std::vector<Attempt>& a, const std::vector<Attempt>& b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}

class LzoPrecheckTest : public testing::TestWithParam<Sample> {};

TEST_P(LzoPrecheckTest, AnswersAndSavedBytesAreTheSameWithTheCheckOnAndOff) {
    const Bytes input = GetParam().make();
    ASSERT_FALSE(input.empty());
    for (const std::uint32_t capacity : {0u, 5u, 300u, 4096u, 1u << 20}) {
        const auto withoutCheck = scanEveryOffset(input, capacity, 0, false);
        for (const std::uint32_t skip : {0u, 5000u, 0xFFFFFFFFu}) {
            auto expected = withoutCheck;
            for (auto& attempt : expected)
                if (attempt.size <= skip || attempt.size >= capacity) attempt.saved.clear();
            const auto withCheck = scanEveryOffset(input, capacity, skip, true);
            const std::size_t offset = firstDifference(withCheck, expected);
            EXPECT_EQ(offset, input.size()) << "capacity " << capacity << ", skip " << skip << ": found "
                                            << withCheck[offset].found << " size " << withCheck[offset].size
                                            << ", library " << expected[offset].found << " size "
                                            << expected[offset].size;
        }
    }
}

TEST_P(LzoPrecheckTest, OutcomesAreTheLibrarys) {
    const Bytes input = GetParam().make();
    // The last budget keeps 16 landmarks: the walks drop them, thin them out and thicken them.
    const std::pair<std::uint32_t, std::size_t> settings[] = {
        {0, LandmarkMemo<LzoPrecheck::Place>::defaultBudget}, {3, 16}, {4096, 16},
        {4096, LandmarkMemo<LzoPrecheck::Place>::defaultBudget}, {1u << 20, LandmarkMemo<LzoPrecheck::Place>::defaultBudget},
        {1u << 20, 16}};
    for (const auto& [capacity, budget] : settings) {
        LzoPrecheck precheck(budget);
        Bytes output(capacity);
        int mismatches = 0;
        for (std::size_t offset = 0; offset < input.size() && mismatches < 5; ++offset) {
            lzo_uint produced = capacity;
            const int result = lzo1x_decompress_safe(input.data() + offset, input.size() - offset, output.data(),
                                                     &produced, nullptr);
            const LzoOutcome outcome = precheck.run(input.data(), input.size(), offset, capacity);
            if (outcome.result != result || outcome.produced != produced) {
                ++mismatches;
                ADD_FAILURE() << "capacity " << capacity << " budget " << budget << " offset " << offset << ": library " << result << " "
                              << produced << ", pre-check " << outcome.result << " " << outcome.produced;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, LzoPrecheckTest, testing::ValuesIn(samples),
                         [](const auto& info) { return info.param.name; });

// The outcomes at `offsets` of `input`, from one pre-check, against the library's.
void expectLibraryOutcomes(const Bytes& input, const std::vector<std::size_t>& offsets, std::uint32_t capacity) {
    LzoPrecheck precheck;
    Bytes output(capacity);
    for (const std::size_t offset : offsets) {
        lzo_uint produced = capacity;
        const int result =
            lzo1x_decompress_safe(input.data() + offset, input.size() - offset, output.data(), &produced, nullptr);
        const LzoOutcome outcome = precheck.run(input.data(), input.size(), offset, capacity);
        ASSERT_EQ(outcome.result, result) << "offset " << offset;
        ASSERT_EQ(outcome.produced, produced) << "offset " << offset;
    }
}

// Paths kept from later offsets serve earlier ones too, and walks that join a path with more or
// less output behind them than its maker had fail where the library does.
TEST(LzoPrecheckPaths, OffsetsInAnyOrderGetTheLibrarysOutcomes) {
    const Bytes input = concat({ownMachineCode(6 << 10), textBytes(2000, 32), lzoCompress(textBytes(20000, 33))});
    std::vector<std::size_t> offsets(input.size());
    std::iota(offsets.begin(), offsets.end(), 0);
    std::shuffle(offsets.begin(), offsets.end(), std::mt19937(31));
    for (const std::uint32_t capacity : {200u, 70000u, 1u << 20}) expectLibraryOutcomes(input, offsets, capacity);
}

TEST(LzoPrecheckPaths, ForgettingLetsNewBytesAtTheSameAddressBeScanned) {
    Bytes input = ownMachineCode(4 << 10);
    const Bytes other = textBytes(input.size(), 41);
    LzoPrecheck precheck;
    Bytes output(1 << 20);
    for (int round = 0; round < 2; ++round) {
        precheck.forget();  // the bytes at the same address change
        for (std::size_t offset = 0; offset < input.size(); ++offset) {
            lzo_uint produced = output.size();
            const int result = lzo1x_decompress_safe(input.data() + offset, input.size() - offset, output.data(),
                                                     &produced, nullptr);
            const LzoOutcome outcome = precheck.run(input.data(), input.size(), offset, 1 << 20);
            ASSERT_EQ(outcome.result, result) << "round " << round << " offset " << offset;
            ASSERT_EQ(outcome.produced, produced) << "round " << round << " offset " << offset;
        }
        std::copy(other.begin(), other.end(), input.begin());
    }
}

// A mebibyte of zeros: every offset in the run costs O(1), and the outcomes stay exact next to and
// inside the run, with the run ending at the end of the input or before a stream.
TEST(LzoPrecheckZeros, LongRunsAreExact) {
    const Bytes stream = lzoCompress(textBytes(4000, 51));
    for (const Bytes& input : {repeated(1 << 20, 0), concat({repeated(1 << 20, 0), stream})}) {
        std::vector<Attempt> attempts = scanEveryOffset(input, 1 << 20, 0, true);
        const std::size_t runEnd = 1 << 20;
        for (std::size_t offset = 0; offset < runEnd; ++offset)
            ASSERT_FALSE(attempts[offset].found) << offset;
        std::vector<std::size_t> offsets = {0, 1, runEnd / 2, runEnd - 300, runEnd - 256, runEnd - 255};
        for (std::size_t offset = runEnd - 20; offset < input.size(); ++offset) offsets.push_back(offset);
        expectLibraryOutcomes(input, offsets, 1 << 20);
        expectLibraryOutcomes(input, offsets, 100);
    }
}

// Hand-made codes around the first byte and the end code, where the library's checks are
// spelled out one by one.
TEST(LzoPrecheckCodes, FirstBytesAndEndCodes) {
    const std::vector<Bytes> inputs = {
        {0x11, 0x00, 0x00},                          // end code alone
        {0x11, 0x00, 0x00, 0x00},                    // and one byte more
        {0x11, 0x00},                                // cut short
        {0x12, 0x41, 0x11, 0x00, 0x00},              // one literal as trailing literals, then the end
        {0x12, 0x41, 0x11, 0x00},                    // the same cut short
        {0x15, 0x41, 0x42, 0x43, 0x44, 0x11, 0x00, 0x00},  // four literals, then the end
        {0x15, 0x41, 0x42, 0x43, 0x44, 0x00, 0x00},        // four literals, a three-byte match too far back
        {0x15, 0x41, 0x42, 0x43, 0x44, 0x40, 0x00, 0x11, 0x00, 0x00},  // a near match one back
        {0x13, 0x41, 0x42, 0x01, 0x00, 0x11, 0x00, 0x00},  // two-byte match after trailing literals
        {0x00, 0x00, 0x00, 0x01},                    // literal run length running into the end
        {0x10, 0x00, 0x00},                          // end code with no length bits
        {0x18, 0x00, 0x00},                          // far match bit set: not an end code
        {0xFF},                                      // 238 literals that are not there
        {0x11, 0x00, 0x03, 0x41, 0x42, 0x43, 0x00},  // the end code's trailing bits are not read
    };
    for (const Bytes& input : inputs) {
        std::vector<std::size_t> offsets(input.size());
        std::iota(offsets.begin(), offsets.end(), 0);
        for (const std::uint32_t capacity : {0u, 1u, 2u, 4u, 1u << 20}) expectLibraryOutcomes(input, offsets, capacity);
    }
}

// A first literal run whose length is one byte (18 to 273 literals), then a match of two
// bytes: the screen lets the offset through where the match reaches no further back than the
// literals, and clears it one byte further, for run lengths up to the longest it screens.
TEST(LzoScreen, FirstLiteralRunThenAMatch) {
    for (const unsigned lengthByte : {1u, 77u, 234u}) {
        const unsigned literals = 18 + lengthByte;
        for (const unsigned distance : {literals - 5, literals, literals + 1}) {
            Bytes input = {0x00, static_cast<std::uint8_t>(lengthByte)};
            const Bytes text = textBytes(literals, lengthByte);
            input.insert(input.end(), text.begin(), text.end());
            // Three bytes copied, no trailing literals, then the end code.
            const Bytes match = {static_cast<std::uint8_t>(0x40 | ((distance - 1) & 7) << 2),
                                 static_cast<std::uint8_t>((distance - 1) >> 3), 0x11, 0x00, 0x00};
            input = concat({input, match, Bytes(Unpacker::screenReach, 0)});
            const bool stream = LzoPrecheck().run(input.data(), input.size(), 0, 1 << 20).accepted();
            ASSERT_EQ(stream, distance <= literals) << "run " << literals << " distance " << distance;
            EXPECT_EQ((screenLzoOffsets(input.data(), 1) & 1) != 0, stream)
                << "run " << literals << " distance " << distance;
        }
    }
}

}  // namespace
