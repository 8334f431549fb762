// The UCL walk against the library decoders it stands in for: result code and size at every
// offset of varied inputs, the quick verdict against the walk, and the unpackers' answers,
// sizes and bytes with the walk on and off. Runs of 0xff, which the walk skips nine bytes at a
// time, come in every length up to a few groups, ending the input, before streams and with
// capacities that end inside them.
#include <elf.h>
#include <gtest/gtest.h>
#include <ucl/ucl.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "chain_patterns.h"
#include "compressors.h"
#include "formats/format_table.h"
#include "formats/ucl/ucl_precheck_internal.h"
#include "test_support.h"

using namespace korvel;

namespace {

using UclDecoder = int (*)(const ucl_bytep, ucl_uint, ucl_bytep, ucl_uintp, ucl_voidp);

struct UclFormat {
    std::string name;
    UclMethod method;
    Bytes (*compress)(const Bytes&);
    UclDecoder decode;
    const char* switchName;
};

std::ostream& operator<<(std::ostream& out, const UclFormat& format) { return out << format.name; }

// The start of the .text section of this test binary: real x86-64 code wherever the suite runs.
Bytes machineCode(std::size_t count) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    const auto readAt = [&file](std::uint64_t position, void* into, std::size_t size) {
        file.seekg(static_cast<std::streamoff>(position));
        file.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
        if (!file) throw std::runtime_error("cannot read the test binary");
    };
    Elf64_Ehdr header;
    readAt(0, &header, sizeof header);
    Elf64_Shdr names;
    readAt(header.e_shoff + header.e_shstrndx * sizeof names, &names, sizeof names);
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        readAt(header.e_shoff + i * sizeof section, &section, sizeof section);
        char name[6] = {};
        readAt(names.sh_offset + section.sh_name, name, sizeof name);
        if (std::memcmp(name, ".text", sizeof name) != 0) continue;
        Bytes code(std::min<std::size_t>(count, section.sh_size));
        readAt(section.sh_offset, code.data(), code.size());
        return code;
    }
    throw std::runtime_error("no .text section in the test binary");
}

// Mostly zeros, with a long run of zeros and one of 0xff bytes (all-literal control bits).
Bytes zeroHeavy(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes) byte = generator() % 4 == 0 ? static_cast<std::uint8_t>(generator()) : 0;
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(count / 4), count / 5, 0);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(count / 2), count / 8, 0xff);
    return bytes;
}

Bytes withBitFlips(Bytes bytes, int flips, std::uint32_t seed) {
    std::mt19937 generator(seed);
    for (int i = 0; i < flips; ++i) bytes[generator() % bytes.size()] ^= static_cast<std::uint8_t>(1u << (generator() % 8));
    return bytes;
}

struct Sample {
    std::string name;
    Bytes bytes;
    std::vector<std::uint32_t> capacities;  // besides the common ones
};

// Real streams between junk and at the end of the input, whole, damaged and cut short, with
// capacities around their decoded sizes.
std::vector<Sample> streamSamples(const UclFormat& format) {
    const Bytes text = textBytes(6000, 11);
    const Bytes repeats = concat({randomBytes(300, 12), randomBytes(300, 12), textBytes(400, 13)});
    const Bytes packedText = format.compress(text);
    const Bytes packedRepeats = format.compress(repeats);
    const Bytes packedEmpty = format.compress({});
    const Bytes junk = randomBytes(41, 14);
    const auto size = [](const Bytes& plain) { return static_cast<std::uint32_t>(plain.size()); };
    const std::vector<std::uint32_t> around = {size(text) - 1, size(text), size(text) + 1,
                                               size(repeats) - 1, size(repeats), size(repeats) + 1};

    std::vector<Sample> samples;
    samples.push_back({"streams", concat({junk, packedText, junk, packedEmpty, junk, packedRepeats}), around});
    samples.push_back({"end code at the end", concat({junk, packedEmpty}), {}});
    for (std::uint32_t seed = 1; seed <= 3; ++seed)
        samples.push_back({"flipped " + std::to_string(seed),
                           concat({junk, withBitFlips(packedText, static_cast<int>(seed), seed), packedRepeats}), around});
    for (const std::size_t cut : {1, 2, 3, 4, 5, 6, 7, 8, 9, 40}) {
        Bytes truncated(packedRepeats.begin(), packedRepeats.end() - static_cast<std::ptrdiff_t>(cut));
        samples.push_back({"cut by " + std::to_string(cut), concat({junk, truncated}), around});
    }
    return samples;
}

std::vector<Sample> plainSamples() {
    return {{"random", randomBytes(3000, 21), {}},
            {"zero-heavy", zeroHeavy(3000, 22), {}},
            {"text", textBytes(3000, 23), {}},
            {"machine code", machineCode(64 << 10), {}},
            {"literal chain", repeatedTo(nrv2LiteralChainPeriod(), 3000), {}},
            {"runs of every byte", runsOfEveryByte(100), {}}};
}

Bytes ones(std::size_t count) { return Bytes(count, 0xff); }

// The output capacities that stop a walk from the run's start at its last literals, and just
// after them.
std::vector<std::uint32_t> aroundRun(std::size_t runLength) {
    const auto literals = static_cast<std::uint32_t>(runLength - (runLength + 8) / 9);
    const auto length = static_cast<std::uint32_t>(runLength);
    std::vector<std::uint32_t> capacities = {7, 8, 100, literals, literals + 1, length - 1, length, length + 1};
    if (literals != 0) capacities.push_back(literals - 1);
    return capacities;
}

std::vector<Sample> runSamples(const UclFormat& format) {
    std::vector<Sample> samples;
    // Alone, the run ends the input: its last groups read up to the spare byte.
    for (std::size_t length = 1; length <= 40; ++length)
        samples.push_back({"0xff run of " + std::to_string(length), ones(length), aroundRun(length)});
    for (const std::size_t length : {1000, 4099}) samples.push_back({"long 0xff run", ones(length), aroundRun(length)});

    const Bytes text = textBytes(3000, 31);
    const Bytes packed = format.compress(text);
    const Bytes junk = randomBytes(30, 32);
    const auto size = static_cast<std::uint32_t>(text.size());
    for (const std::size_t length : {8, 9, 10, 17, 1001}) {
        auto capacities = aroundRun(length);
        capacities.insert(capacities.end(), {size - 1, size, size + 1});
        samples.push_back({"0xff run, stream", concat({ones(length), packed, junk}), capacities});
        samples.push_back({"stream, 0xff run", concat({junk, packed, ones(length)}), capacities});
    }
    samples.push_back({"0xff run in random", concat({randomBytes(100, 33), ones(500), randomBytes(100, 34)}), {}});
    // Runs of 0xff broken by one other byte: the skip must stop at each break.
    Bytes broken = ones(400);
    for (const std::size_t at : {40u, 41u, 97u, 200u, 209u}) broken[at] = 0x7f;
    samples.push_back({"broken 0xff runs", broken, aroundRun(400)});
    return samples;
}

const std::vector<std::uint32_t> commonCapacities = {0, 1, 2, 9, 300, 64 << 10};

class UclPrecheckTest : public testing::TestWithParam<UclFormat> {};

TEST_P(UclPrecheckTest, WalkMatchesTheLibraryAtEveryOffset) {
    const auto& format = GetParam();
    auto samples = plainSamples();
    for (auto& sample : streamSamples(format)) samples.push_back(std::move(sample));
    for (auto& sample : runSamples(format)) samples.push_back(std::move(sample));

    std::map<int, int> resultsSeen;
    int endedPastCapacity = 0;  // outputs of capacity + 1
    int decidedBySpareByte = 0;
    int emptyStreams = 0;  // bare end codes ending the input
    for (const auto& sample : samples) {
        auto capacities = commonCapacities;
        capacities.insert(capacities.end(), sample.capacities.begin(), sample.capacities.end());
        Bytes input = sample.bytes;
        input.push_back(0);  // the spare byte the decoders fetch
        OnesRunIndex onesRuns;  // one for the whole input, as the scan's: it never reads the spare byte
        for (const std::uint32_t capacity : capacities) {
            Bytes output(std::size_t{capacity} + 1);
            for (std::size_t offset = 0; offset < sample.bytes.size(); ++offset) {
                const auto length = static_cast<std::uint32_t>(sample.bytes.size() - offset);
                UclOutcome first{};
                for (const std::uint8_t spare : {0x00, 0xff}) {
                    input.back() = spare;
                    const UclOutcome walked =
                        walkUclStream(format.method, input.data() + offset, length, capacity, onesRuns);
                    ucl_uint produced = capacity;
                    const int result = format.decode(input.data() + offset, length, output.data(), &produced, nullptr);
                    ASSERT_EQ(walked.result, result) << sample.name << " offset " << offset << " capacity "
                                                     << capacity << " spare " << int{spare};
                    ASSERT_EQ(walked.produced, produced) << sample.name << " offset " << offset << " capacity "
                                                         << capacity << " spare " << int{spare};
                    const UclVerdict verdict = precheckUclStream(format.method, input.data() + offset, length, capacity);
                    ASSERT_EQ(verdict.stream, uclOutcomeIsStream(walked)) << sample.name << " offset " << offset;
                    ASSERT_EQ(verdict.produced, walked.produced) << sample.name << " offset " << offset;
                    ++resultsSeen[result];
                    emptyStreams += verdict.stream && produced == 0;
                    endedPastCapacity += produced == capacity + 1;
                    if (spare == 0) first = walked;
                    decidedBySpareByte += walked.result != first.result || walked.produced != first.produced;
                }
            }
        }
    }
    // The inputs reach every way the decoders end.
    for (const int result : {UCL_E_OK, UCL_E_INPUT_NOT_CONSUMED, UCL_E_INPUT_OVERRUN, UCL_E_OUTPUT_OVERRUN,
                             UCL_E_LOOKBEHIND_OVERRUN})
        EXPECT_GT(resultsSeen[result], 0) << result;
    EXPECT_GT(decidedBySpareByte, 0);
    EXPECT_GT(emptyStreams, 0);
    // Only NRV2D's match check lets a copy end one byte past the capacity.
    if (format.method == UclMethod::nrv2d) {
        EXPECT_GT(endedPastCapacity, 0);
    } else {
        EXPECT_EQ(endedPastCapacity, 0);
    }
}

// The screen reads the first two control bytes: every pair of them, with the bytes between
// them and the first one's literals all the second (wherever it is, it is that byte), the
// rest random. A cleared offset is one where the library fails. The data bytes matter only
// to a match that takes its offset from one, here the second control byte's value too.
TEST_P(UclPrecheckTest, ScreenClearsOnlyFailuresOfTheFirstTwoControlBytes) {
    const auto& format = GetParam();
    Bytes input = randomBytes(400, 50);
    Bytes output(std::size_t{1} << 16);
    int cleared = 0;
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            input[0] = static_cast<std::uint8_t>(first);
            std::fill_n(input.begin() + 1, 10, static_cast<std::uint8_t>(second));
            if ((screenUclOffsets(format.method, input.data(), 1) & 1) != 0) continue;
            ++cleared;
            ucl_uint produced = static_cast<ucl_uint>(output.size());
            const int result =
                format.decode(input.data(), static_cast<ucl_uint>(input.size() - 1), output.data(), &produced, nullptr);
            ASSERT_FALSE(uclOutcomeIsStream({result, static_cast<std::uint32_t>(produced)}))
                << "control bytes " << first << ", " << second;
        }
    }
    // Half the first bytes alone clear every second one; the second clears most of the rest.
    EXPECT_GT(cleared, 256 * 128 + 256 * 64);
    // Where the second byte is: the screen lets the start of every real stream through, whose
    // first control bytes hold literals and matches one byte back, ending anywhere.
    for (std::uint32_t seed = 0; seed < 300; ++seed) {
        std::mt19937 generator(seed);
        Bytes plain = textBytes(20 + seed % 50, seed);
        for (auto& byte : plain) byte = generator() % 3 == 0 ? plain[0] : byte;  // matches one byte back
        Bytes stream = concat({format.compress(plain), randomBytes(16, seed)});
        ASSERT_EQ(screenUclOffsets(format.method, stream.data(), 1) & 1, 1u) << "seed " << seed;
    }
}

// One attempt's observable result: the answer, the size, and the bytes when they are saved.
struct Attempt {
    bool found = false;
    std::uint32_t size = 0;
    Bytes saved;  // the output, then the spare byte after the capacity
};

Attempt attempt(Unpacker& unpacker, ScanState& scan, std::uint32_t capacity, bool precheck) {
    constexpr std::uint8_t sentinel = 0xa5;
    scan.outputBuffer[capacity] = sentinel;
    scan.dryRuns = precheck;
    Attempt result;
    result.found = unpacker.tryUnpack();
    result.size = scan.outputSize;
    if (result.found && result.size > scan.sizes.skipSize && result.size < capacity) {
        result.saved.assign(scan.outputBuffer, scan.outputBuffer + result.size);
        result.saved.push_back(scan.outputBuffer[capacity]);
    }
    return result;
}

TEST_P(UclPrecheckTest, UnpackerAnswersAlikeWithAndWithoutTheWalk) {
    const auto& format = GetParam();
    const std::uint32_t noSave = 0xffffffff;
    struct Case {
        Sample sample;
        std::uint32_t capacity;
        std::uint32_t skip;
    };
    std::vector<Case> cases;
    for (const auto& sample : plainSamples()) {
        for (const std::uint32_t capacity : {0u, 5u, 64u << 10})
            for (const std::uint32_t skip : {3u, noSave}) cases.push_back({sample, capacity, skip});
    }
    for (const auto& sample : streamSamples(format)) {
        for (const std::uint32_t capacity : sample.capacities) cases.push_back({sample, capacity, 0});
        for (const std::uint32_t skip : {0u, 500u, noSave}) cases.push_back({sample, 1 << 20, skip});
    }
    for (const auto& sample : runSamples(format)) {
        for (const std::uint32_t capacity : sample.capacities) cases.push_back({sample, capacity, 0});
        cases.push_back({sample, 1 << 20, 7});
    }

    int savedSeen = 0, unsavedSeen = 0;
    for (const auto& c : cases) {
        ScopedScanInput scope(c.sample.bytes, c.capacity);
        scope.state.sizes.skipSize = c.skip;
        const auto unpacker = findFormat(format.switchName)->makeUnpacker(scope.state);
        for (std::size_t offset = 0; offset < c.sample.bytes.size(); ++offset) {
            scope.state.currentOffset = offset;
            const Attempt on = attempt(*unpacker, scope.state, c.capacity, true);
            const Attempt off = attempt(*unpacker, scope.state, c.capacity, false);
            const auto where = [&] {
                return c.sample.name + " offset " + std::to_string(offset) + " capacity " + std::to_string(c.capacity) +
                       " skip " + std::to_string(c.skip);
            };
            ASSERT_EQ(on.found, off.found) << where();
            if (on.found) {  // a failure's length is not kept
                ASSERT_EQ(on.size, off.size) << where();
            }
            ASSERT_EQ(on.saved, off.saved) << where();
            if (on.found) ++(on.saved.empty() ? unsavedSeen : savedSeen);
        }
    }
    EXPECT_GT(savedSeen, 0);
    EXPECT_GT(unsavedSeen, 0);
}

// Runs that walk far from every offset, long enough that the dry run's joins answer nearly
// all of them, at capacities that make joined walks fail their checks at different steps.
// The last input's run is longer than the reach within which walks make landmarks of every
// level, so walks from its start leave it far from where they began; they are tried at
// every 997th offset of it (the library decodes a megabyte at each) and at every offset after.
TEST_P(UclPrecheckTest, DryRunJoinsLongWalksExactly) {
    const auto& format = GetParam();
    struct Case {
        std::string name;
        Bytes input;
        std::vector<std::uint32_t> capacities;
        std::size_t sparseBefore = 0;  // offsets below this are tried at every 997th only
    };
    std::vector<Case> cases;
    Bytes runs;
    for (const std::uint8_t value : {0xE5, 0x91, 0x9C, 0xC9, 0xF3, 0xFF})
        runs = concat({runs, Bytes(1500, value), randomBytes(7, value)});
    cases.push_back({"runs of six values", runs, {0u, 1u, 700u, 5000u, 1u << 20}});
    // A run to the input's end: a leap must not take a period whose codes need input after it.
    for (const std::uint8_t value : {0xE4, 0xE5, 0x91, 0xC9})
        cases.push_back({"a run of one value to the end", concat({randomBytes(8, value), Bytes(1500, value)}), {700u, 1u << 20}});
    // Short patterns repeated, entered from noise and leaving into it or into the input's end:
    // walks from each phase leap along them. Mostly literal bits, so that walks go far; one
    // with a run of 0xff inside the pattern, taken in groups.
    std::vector<Bytes> patterns{nrv2LiteralChainPeriod(), concat({ones(10), {0x12, 0x34}})};
    for (const std::size_t period : {2, 3, 5, 7, 16}) {
        Bytes pattern = randomBytes(period, static_cast<std::uint32_t>(period));
        for (std::size_t i = 0; i < period; i += 2) pattern[i] |= 0xE0;
        patterns.push_back(pattern);
    }
    for (const Bytes& pattern : patterns) {
        cases.push_back({"a pattern of " + std::to_string(pattern.size()) + " bytes repeated",
                         concat({randomBytes(40, 47), repeatedTo(pattern, 1700), randomBytes(9, 48)}),
                         {700u, 1u << 20}});
        cases.push_back({"a pattern of " + std::to_string(pattern.size()) + " bytes to the end",
                         concat({randomBytes(8, 49), repeatedTo(pattern, 1500)}), {1u << 20}});
    }
    // Walks from each phase of a run meet where it ends, with counts 8 apart, and fail in the
    // data after it at steps that move with the count.
    cases.push_back({"runs of 0xff split by data",
                     concat({randomBytes(500, 44), ones(2000), randomBytes(500, 45), ones(2500), randomBytes(500, 46)}),
                     {0u, 3000u, 1u << 20}});
    const std::size_t longRun = (1 << 20) + 4000;
    const auto literals = static_cast<std::uint32_t>(longRun / 9 * 8);
    cases.push_back({"a long 0xff run, data, a short run",
                     concat({randomBytes(64, 41), ones(longRun), randomBytes(3000, 42), ones(2000), randomBytes(3000, 43)}),
                     {literals + 1500, 1u << 22},
                     64 + longRun});
    for (const auto& c : cases) {
        Bytes input = c.input;
        input.push_back(0);  // the spare byte
        const auto size = c.input.size();
        for (const std::uint32_t capacity : c.capacities) {
            UclDryRun dryRun(format.method);
            OnesRunIndex onesRuns;
            Bytes output(std::size_t{capacity} + 1);
            for (std::size_t offset = 0; offset < size; offset += offset < c.sparseBefore ? 997 : 1) {
                const auto where = [&] { return c.name + " capacity " + std::to_string(capacity) + " offset " + std::to_string(offset); };
                const auto length = static_cast<std::uint32_t>(size - offset);
                ucl_uint produced = capacity;
                const int result = format.decode(input.data() + offset, length, output.data(), &produced, nullptr);
                const UclVerdict walked = dryRun.run(input.data(), size, offset, capacity, onesRuns);
                const bool stream = uclOutcomeIsStream({result, static_cast<std::uint32_t>(produced)});
                ASSERT_EQ(walked.stream, stream) << where();
                // Joined or leaping, a walk meets its failing step exactly: the plain walk's
                // outcome, failures included.
                const UclOutcome plain = walkUclStream(format.method, input.data() + offset, length, capacity);
                ASSERT_EQ(walked.result, plain.result) << where();
                ASSERT_EQ(walked.produced, plain.produced) << where();
                if (stream) {
                    ASSERT_EQ(walked.produced, produced) << where();
                    ASSERT_EQ(walked.taken, plain.taken) << where();
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, UclPrecheckTest,
    testing::Values(UclFormat{"NRV2B", UclMethod::nrv2b, ucl2bCompress, ucl_nrv2b_decompress_safe_8, "ucl2b"},
                    UclFormat{"NRV2D", UclMethod::nrv2d, ucl2dCompress, ucl_nrv2d_decompress_safe_8, "ucl2d"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
