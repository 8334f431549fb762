// rawInflate against the bit-at-a-time reference decoder: at every offset of every input, the
// same result, the same lengths written back (or not), and the same destination contents,
// including partial output and the bytes left untouched.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "canonical_codes.h"
#include "chain_patterns.h"
#include "compressors.h"
#include "formats/deflate/deflate_decoder.h"
#include "formats/deflate/deflate_dry_run.h"
#include "reference_inflate.h"
#include "test_support.h"

using namespace korvel;

namespace {

using Decoder = InflateResult (*)(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint64_t*);

// Runs both decoders on the same input and compares everything they report or write.
class Differential {
public:
    // Returns false, after reporting, on the first disagreement.
    bool agree(const std::uint8_t* source, std::uint64_t length, std::uint32_t capacity, const std::string& what) {
        if (pattern_.size() != std::size_t{capacity} + 16) {
            pattern_.resize(std::size_t{capacity} + 16);
            for (std::size_t i = 0; i < pattern_.size(); ++i)
                pattern_[i] = static_cast<std::uint8_t>(i * 151 + 89);
        }
        const Outcome fast = run(rawInflate, fastDest_, source, length, capacity);
        // The scan's short attempt reads a few blocks only: the same answer, or none yet.
        const Outcome fewBlocks = run(rawInflateFewBlocks, fewBlocksDest_, source, length, capacity);
        // Undecided, it writes neither length back (what it wrote so far may be a part of what
        // the full decode writes); decided, everything is as in the full decode.
        if (fewBlocks.result == inflateInputEnded && fewBlocks.destLen == capacity && fewBlocks.sourceLen == length) {
            if (fast.result != inflateInputEnded) ++cutShort_;
        } else if (fewBlocks.result != fast.result || fewBlocks.destLen != fast.destLen ||
                   fewBlocks.sourceLen != fast.sourceLen || fewBlocksDest_ != fastDest_) {
            ADD_FAILURE() << what << ", capacity " << capacity << ": after a few blocks " << fewBlocks.result << " "
                          << fewBlocks.destLen << " " << fewBlocks.sourceLen << ", in full " << fast.result << " "
                          << fast.destLen << " " << fast.sourceLen;
            return false;
        }
        const Outcome reference = run(referenceInflate, referenceDest_, source, length, capacity);
        lastFast_ = fast;
        ++results_[reference.result + 11];
        ++calls_;
        if (fast.result == reference.result && fast.destLen == reference.destLen &&
            fast.sourceLen == reference.sourceLen &&
            std::memcmp(fastDest_.data(), referenceDest_.data(), pattern_.size()) == 0)
            return true;
        std::size_t firstDifference = 0;
        while (firstDifference < fastDest_.size() && fastDest_[firstDifference] == referenceDest_[firstDifference])
            ++firstDifference;
        ADD_FAILURE() << what << ", capacity " << capacity << ", " << length << " bytes available: result "
                      << fast.result << " vs " << reference.result << ", destLen " << fast.destLen << " vs "
                      << reference.destLen << ", sourceLen " << fast.sourceLen << " vs " << reference.sourceLen
                      << ", first differing destination byte " << firstDifference;
        return false;
    }

    // Every offset of `input`, each attempt seeing the input up to its end; the dry run, taking
    // the offsets in order as the scan does and joining its walks, must tell the same.
    bool everyOffset(const Bytes& input, std::uint32_t capacity, const std::string& what) {
        DeflateDryRun dryRun;
        for (std::size_t offset = 0; offset < input.size(); ++offset) {
            const std::string where = what + " at offset " + std::to_string(offset);
            if (!agree(input.data() + offset, input.size() - offset, capacity, where)) return false;
            const InflateOutcome walked = dryRun.run(input.data(), input.size(), offset, capacity);
            const bool written = lastFast_.result <= 0;  // lengths are written back for these
            if (walked.result == lastFast_.result && (!written || walked.produced == lastFast_.destLen) &&
                (lastFast_.result != inflateComplete || walked.taken == lastFast_.sourceLen))
                continue;
            ADD_FAILURE() << where << ", capacity " << capacity << ": dry run " << walked.result << " "
                          << walked.produced << " " << walked.taken << ", decoder " << lastFast_.result << " "
                          << lastFast_.destLen << " " << lastFast_.sourceLen;
            return false;
        }
        return true;
    }

    // Every proper prefix of `input` and the whole, each in a heap block of exactly its size so
    // that the sanitizers see any read past the end.
    bool everyLength(const Bytes& input, std::uint32_t capacity, const std::string& what) {
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            const Bytes prefix(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(cut));
            if (!agree(prefix.data(), prefix.size(), capacity, what + " cut to " + std::to_string(cut)))
                return false;
        }
        return true;
    }

    // How many attempts the reference ended with `result`.
    std::uint64_t seen(int result) const { return results_[result + 11]; }
    std::uint64_t calls() const { return calls_; }
    // How many streams the short attempt left undecided after its few blocks.
    std::uint64_t cutShort() const { return cutShort_; }

private:
    struct Outcome {
        int result;
        std::uint32_t destLen;
        std::uint64_t sourceLen;
    };

    // The destination is pre-filled with a pattern and followed by guard bytes, all compared.
    Outcome run(Decoder decoder, Bytes& dest, const std::uint8_t* source, std::uint64_t length,
                std::uint32_t capacity) {
        dest = pattern_;
        Outcome out{0, capacity, length};
        out.result = decoder(dest.data(), &out.destLen, source, &out.sourceLen);
        return out;
    }

    Outcome lastFast_{};
    Bytes fewBlocksDest_;
    std::uint64_t cutShort_ = 0;
    Bytes pattern_;
    Bytes fastDest_;
    Bytes referenceDest_;
    std::array<std::uint64_t, 14> results_{};
    std::uint64_t calls_ = 0;
};

// Bytes of the system's executables: machine code with its tables and strings.
Bytes machineCode(std::size_t wanted) {
    namespace fs = std::filesystem;
    std::vector<fs::path> programs;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/bin", error)) {
        if (entry.is_regular_file(error) && entry.file_size(error) > (256u << 10))
            programs.push_back(entry.path());
    }
    std::sort(programs.begin(), programs.end());
    Bytes code;
    for (const auto& program : programs) {
        std::ifstream in(program, std::ios::binary);
        const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Past the headers, into the code.
        const std::size_t take = std::min<std::size_t>(wanted - code.size(), 96u << 10);
        code.insert(code.end(), file.begin() + (64 << 10),
                    file.begin() + static_cast<std::ptrdiff_t>((64 << 10) + take));
        if (code.size() >= wanted) break;
    }
    return code;
}

// Random code lengths for `count` symbols: a complete code over `used` of them with no code
// longer than `maxLength`, grown by splitting leaves, mostly the deepest so that long codes
// (past a lookup table's root) are common.
std::vector<int> randomCompleteCode(int count, int used, int maxLength, std::mt19937& random) {
    std::vector<int> leaves{0};
    while (static_cast<int>(leaves.size()) < used) {
        std::size_t pick = random() % leaves.size();
        if (random() % 2)
            pick = static_cast<std::size_t>(std::max_element(leaves.begin(), leaves.end()) - leaves.begin());
        if (leaves[pick] >= maxLength) {
            pick = static_cast<std::size_t>(std::min_element(leaves.begin(), leaves.end()) - leaves.begin());
            if (leaves[pick] >= maxLength) break;
        }
        const int depth = ++leaves[pick];
        leaves.push_back(depth);
    }
    if (leaves.size() == 1) leaves[0] = 1;  // a lone code
    std::vector<int> symbols(static_cast<std::size_t>(count));
    for (int s = 0; s < count; ++s) symbols[static_cast<std::size_t>(s)] = s;
    std::shuffle(symbols.begin(), symbols.end(), random);
    std::vector<int> lengths(static_cast<std::size_t>(count), 0);
    for (std::size_t i = 0; i < leaves.size() && i < symbols.size(); ++i)
        lengths[static_cast<std::size_t>(symbols[i])] = leaves[i];
    return lengths;
}

// Writes the symbol if it has a code, otherwise random bits of about a code's length.
void writeSymbol(BitWriter& w, const std::vector<Code>& codes, int symbol, std::mt19937& random) {
    const auto s = static_cast<std::size_t>(symbol);
    if (s < codes.size() && codes[s].length != 0)
        w.code(codes[s].value, codes[s].length);
    else
        w.bits(random(), 1 + static_cast<int>(random() % 15));
}

// A dynamic block built to get far: mostly well-formed code-length and literal/length codes
// with long codes, run symbols, matches and end-of-block, with some of each part broken.
Bytes randomDynamicBlock(std::mt19937& random) {
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    BitWriter w;
    w.bits(chance(80) ? 1 : 0, 1);
    w.bits(2, 2);
    const int literalCount =
        chance(3) ? 287 + static_cast<int>(random() % 2) : 257 + static_cast<int>(random() % 30);
    const int distanceCount =
        chance(3) ? 31 + static_cast<int>(random() % 2) : 1 + static_cast<int>(random() % 30);

    std::vector<int> literal =
        randomCompleteCode(literalCount, 2 + static_cast<int>(random() % (literalCount - 1)), 15, random);
    if (literal[256] == 0 && chance(90))
        std::swap(literal[256], *std::find_if(literal.begin(), literal.end(), [](int l) { return l != 0; }));
    std::vector<int> distance;
    const int distanceShape = static_cast<int>(random() % 10);
    if (distanceShape == 0) {
        distance.assign(static_cast<std::size_t>(distanceCount), 0);  // literals only
    } else if (distanceShape == 1) {
        distance.assign(static_cast<std::size_t>(distanceCount), 0);
        distance[random() % distance.size()] = 1 + static_cast<int>(random() % 2);  // lone code
    } else {
        distance = randomCompleteCode(distanceCount, 1 + static_cast<int>(random() % distanceCount), 15, random);
    }
    if (chance(10)) literal[random() % literal.size()] = static_cast<int>(random() % 16);  // usually breaks it
    if (chance(10)) distance[random() % distance.size()] = static_cast<int>(random() % 16);

    // The lengths as code-length items, with runs where they fit.
    std::vector<int> all(literal);
    all.insert(all.end(), distance.begin(), distance.end());
    std::vector<std::pair<int, int>> items;  // symbol, extra bits
    for (std::size_t i = 0; i < all.size();) {
        std::size_t run = 1;
        while (i + run < all.size() && all[i + run] == all[i]) ++run;
        if (all[i] == 0 && run >= 11 && chance(80)) {
            const int n = static_cast<int>(std::min<std::size_t>(run, 138));
            items.push_back({18, n - 11});
            i += static_cast<std::size_t>(n);
        } else if (all[i] == 0 && run >= 3 && chance(80)) {
            const int n = static_cast<int>(std::min<std::size_t>(run, 10));
            items.push_back({17, n - 3});
            i += static_cast<std::size_t>(n);
        } else if (i > 0 && all[i] == all[i - 1] && run >= 3 && chance(80)) {
            const int n = static_cast<int>(std::min<std::size_t>(run, 6));
            items.push_back({16, n - 3});
            i += static_cast<std::size_t>(n);
        } else {
            items.push_back({all[i], 0});
            ++i;
        }
    }
    if (chance(5)) items.insert(items.begin(), {16, static_cast<int>(random() % 4)});  // nothing to repeat
    if (chance(5)) items.push_back({18, static_cast<int>(random() % 128)});            // past the end

    std::array<bool, 19> used{};
    for (auto [symbol, extra] : items) used[static_cast<std::size_t>(symbol)] = true;
    constexpr int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<int> codeLengthLengths(19, 0);
    {
        std::vector<int> usedSymbols;
        for (int s = 0; s < 19; ++s) {
            if (used[static_cast<std::size_t>(s)]) usedSymbols.push_back(s);
        }
        std::vector<int> shape = randomCompleteCode(static_cast<int>(usedSymbols.size()),
                                                    static_cast<int>(usedSymbols.size()), 7, random);
        for (std::size_t i = 0; i < usedSymbols.size(); ++i)
            codeLengthLengths[static_cast<std::size_t>(usedSymbols[i])] = shape[i];
        if (usedSymbols.size() == 1) codeLengthLengths[usedSymbols[0] == 0 ? 1 : 0] = 1;  // needs two codes
    }
    if (chance(5)) codeLengthLengths[random() % 19] = static_cast<int>(random() % 8);
    if (chance(2)) codeLengthLengths.assign(19, 0);
    int codeCount = 19;
    while (codeCount > 4 && codeLengthLengths[static_cast<std::size_t>(order[codeCount - 1])] == 0) --codeCount;

    w.bits(static_cast<std::uint32_t>(literalCount - 257), 5);
    w.bits(static_cast<std::uint32_t>(distanceCount - 1), 5);
    w.bits(static_cast<std::uint32_t>(codeCount - 4), 4);
    for (int i = 0; i < codeCount; ++i)
        w.bits(static_cast<std::uint32_t>(codeLengthLengths[static_cast<std::size_t>(order[i])]), 3);
    const std::vector<Code> codeLengthCodes = canonicalCodes(codeLengthLengths);
    for (auto [symbol, extra] : items) {
        writeSymbol(w, codeLengthCodes, symbol, random);
        if (symbol >= 16) w.bits(static_cast<std::uint32_t>(extra), symbol == 16 ? 2 : symbol == 17 ? 3 : 7);
    }

    // A body: literals and matches, often reaching back too far, then end-of-block.
    const std::vector<Code> literalCodes = canonicalCodes(literal);
    const std::vector<Code> distanceCodes = canonicalCodes(distance);
    const int bodyItems = static_cast<int>(random() % 40);
    for (int i = 0; i < bodyItems; ++i) {
        if (chance(60)) {
            writeSymbol(w, literalCodes, static_cast<int>(random() % 256), random);
        } else {
            writeSymbol(w, literalCodes, 257 + static_cast<int>(random() % 29), random);
            w.bits(random(), 5);
            writeSymbol(w, distanceCodes, static_cast<int>(random() % static_cast<std::uint32_t>(distanceCount)),
                        random);
            w.bits(random() % 4, 13);
        }
    }
    writeSymbol(w, literalCodes, 256, random);
    BitWriter tail;
    tail.bits(random(), 16);
    Bytes stream = w.bytes();
    if (chance(50)) stream.insert(stream.end(), tail.bytes().begin(), tail.bytes().end());
    return stream;
}

Bytes flipBits(Bytes stream, std::mt19937& random) {
    for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
        stream[random() % stream.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
    return stream;
}

TEST(RawInflateFast, EveryOffsetOfArbitraryData) {
    Differential d;
    const Bytes code = machineCode(160u << 10);
    ASSERT_GE(code.size(), 64u << 10) << "too few executables in /usr/bin";
    struct Input {
        const char* name;
        Bytes bytes;
    };
    // Walks that go far from many offsets: runs of every byte value, short periods, and chains
    // of tiny blocks of each type, between random bytes.
    const Bytes chains = concat({repeatedTo(fixedChainPeriod(false), 600), randomBytes(50, 35),
                                 repeatedTo(fixedMatchChainPeriod(), 700), randomBytes(50, 40),
                                 repeatedTo(storedChainPeriod(), 1000), randomBytes(50, 36),
                                 repeatedTo(tinyStoredChainPeriod(), 900), Bytes(300, 0x0A),
                                 repeatedTo(dynamicChainPeriod(false), 2500), randomBytes(50, 38),
                                 repeatedTo(dynamicChainPeriod(true), 2500), randomBytes(50, 39),
                                 repeatedTo(dynamicMixedChainPeriod(), 2500), randomBytes(50, 41),
                                 repeatedTo(deflateRaw(textBytes(300, 37), 9, Z_FIXED), 600)});
    const std::vector<Input> inputs = {
        {"random", randomBytes(48u << 10, 31)},
        {"text", textBytes(48u << 10, 32)},
        {"machine code", code},
        {"zeros and ones", concat({Bytes(2000, 0), Bytes(2000, 0xFF), randomBytes(100, 33), Bytes(500, 0)})},
        {"runs of every byte", runsOfEveryByte(290)},
        {"periodic", periodicPatterns(400, 34)},
        {"block chains", chains},
    };
    for (const Input& input : inputs) {
        ASSERT_TRUE(d.everyOffset(input.bytes, 600, input.name));
        // Other capacities on a slice, each exact-size so that its end is where reads must stop.
        for (std::uint32_t capacity : {0u, 1u, 3u, 70000u}) {
            const std::size_t length =
                std::min<std::size_t>(input.bytes.size(), capacity == 70000u ? 8192 : 16384);
            const Bytes slice(input.bytes.begin(), input.bytes.begin() + static_cast<std::ptrdiff_t>(length));
            ASSERT_TRUE(d.everyOffset(slice, capacity, input.name));
        }
    }
    for (int result : {0, 1, 2, -1, -2, -3, -4, -5, -6, -7, -9, -10, -11}) EXPECT_GT(d.seen(result), 0u) << result;
    EXPECT_GT(d.cutShort(), 0u);
}

// The short attempt decides a stream whose final block is among its first few, and leaves the
// rest undecided, whatever those blocks hold.
TEST(RawInflateFewBlocks, DecidesWithinItsBlocksOnly) {
    for (const bool stored : {false, true}) {
        for (unsigned blocks = 1; blocks <= fewBlocks + 2; ++blocks) {
            BitWriter w;
            for (unsigned block = 1; block <= blocks; ++block) {
                const bool final = block == blocks;
                if (stored) {
                    w.bits(final, 3).bits(0, 5).raw({0x01, 0x00, 0xFE, 0xFF, 0x41});  // "A"
                } else {
                    w.bits(final | 2u, 3).code(0x71, 8).code(0, 7);  // 'A', then end of block
                }
            }
            const Bytes input = concat({w.bytes(), Bytes(4, 0x5C)});
            Bytes output(64);
            std::uint32_t produced = 64;
            std::uint64_t taken = input.size();
            const InflateResult result = rawInflateFewBlocks(output.data(), &produced, input.data(), &taken);
            SCOPED_TRACE(std::to_string(blocks) + (stored ? " stored" : " fixed") + " blocks");
            if (blocks > fewBlocks) {
                EXPECT_EQ(result, inflateInputEnded);
                EXPECT_EQ(produced, 64u);
                continue;
            }
            EXPECT_EQ(result, inflateComplete);
            EXPECT_EQ(Bytes(output.begin(), output.begin() + produced), Bytes(blocks, 'A'));
            EXPECT_EQ(taken, w.bytes().size());
        }
    }
}

// Long walks, many thousands of steps, against rawInflate alone (the reference decoder reads
// them too slowly), at capacities that make joined walks fail their checks at different steps.
// Walks leap along runs whose fixed blocks repeat: all literals of eight and nine bits (0xFB,
// 0xFA, 0x7A), one literal a byte (0x0A), matches that reach 4 KiB back (0x3A) or 13 bytes
// (0x83); from the run's offsets, and into a run from the one before or from random bytes, with
// counts too small for the run's matches or none, and to the input's end.
TEST(DeflateDryRun, LongWalksJoinExactly) {
    const std::vector<Bytes> inputs = {
        concat({Bytes(6000, 0x0A), randomBytes(20, 41), Bytes(6000, 0x2A)}),
        concat({Bytes(6000, 0x92), Bytes(3000, 0x92 ^ 0x40)}),
        Bytes(6000, 0xE5),
        concat({Bytes(5000, 0xFB), Bytes(5000, 0x7A), Bytes(3000, 0xFA)}),
        concat({randomBytes(300, 42), Bytes(5000, 0xFA), randomBytes(20, 43), Bytes(4000, 0xFB)}),
        concat({Bytes(5000, 0xFB), Bytes(3000, 0x3A), Bytes(3000, 0x83), Bytes(300, 0xFB)}),
    };
    for (const Bytes& input : inputs) {
        for (const std::uint32_t capacity : {0u, 1u, 700u, 5000u, 1u << 20}) {
            DeflateDryRun dryRun;
            Bytes output(capacity);
            for (std::size_t offset = 0; offset < input.size(); ++offset) {
                std::uint32_t produced = capacity;
                std::uint64_t taken = input.size() - offset;
                const InflateResult result = rawInflate(output.data(), &produced, input.data() + offset, &taken);
                const InflateOutcome walked = dryRun.run(input.data(), input.size(), offset, capacity);
                ASSERT_EQ(walked.result, result) << "capacity " << capacity << " offset " << offset;
                if (result <= 0) {
                    ASSERT_EQ(walked.produced, produced) << "capacity " << capacity << " offset " << offset;
                }
                if (result == inflateComplete) {
                    ASSERT_EQ(walked.taken, taken) << "offset " << offset;
                }
            }
        }
    }
}

struct ZlibShape {
    int level;
    int strategy;
};

std::vector<ZlibShape> zlibShapes() {
    std::vector<ZlibShape> shapes;
    for (int level = 0; level <= 9; ++level) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
            shapes.push_back({level, strategy});
    }
    return shapes;
}

// Text, and text broken up by random and machine code, so that one stream mixes block types.
std::vector<Bytes> zlibContents() {
    const Bytes code = machineCode(8u << 10);
    return {textBytes(2500, 41),
            concat({textBytes(700, 42), randomBytes(300, 43), Bytes(code.begin(), code.begin() + 1500)})};
}

TEST(RawInflateFast, ZlibStreamsAtEveryOffsetAndCapacity) {
    Differential d;
    std::uint32_t seed = 0;
    for (const Bytes& plain : zlibContents()) {
        for (const ZlibShape& shape : zlibShapes()) {
            const std::string what =
                "level " + std::to_string(shape.level) + " strategy " + std::to_string(shape.strategy);
            const Bytes stream = concat({deflateRaw(plain, shape.level, shape.strategy), randomBytes(5, ++seed)});
            const auto size = static_cast<std::uint32_t>(plain.size());
            for (std::uint32_t capacity : {size + 64, size, size - 1})
                ASSERT_TRUE(d.everyOffset(stream, capacity, what));
            for (std::uint32_t capacity : {0u, 1u, 2u, 17u, size / 2})
                ASSERT_TRUE(d.agree(stream.data(), stream.size(), capacity, what));
        }
    }
    EXPECT_GT(d.seen(0), 0u);
    EXPECT_GT(d.seen(1), 0u);
}

TEST(RawInflateFast, TruncatedStreams) {
    Differential d;
    const Bytes plain = textBytes(1200, 51);
    for (const ZlibShape& shape : zlibShapes()) {
        if (shape.level % 3 != 0 && shape.level != 1) continue;
        const Bytes stream = deflateRaw(plain, shape.level, shape.strategy);
        ASSERT_TRUE(d.everyLength(
            stream, 2000, "level " + std::to_string(shape.level) + " strategy " + std::to_string(shape.strategy)));
    }
    // A stored block cut inside its length field and its payload, then one behind a fixed block.
    ASSERT_TRUE(d.everyLength(deflateRaw(randomBytes(300, 52), 0, Z_DEFAULT_STRATEGY), 400, "stored"));
    EXPECT_GT(d.seen(2), d.calls() / 2);
}

TEST(RawInflateFast, DamagedStreams) {
    Differential d;
    std::mt19937 random(61);
    for (const Bytes& plain : zlibContents()) {
        for (const ZlibShape& shape : zlibShapes()) {
            const Bytes stream = deflateRaw(plain, shape.level, shape.strategy);
            for (int round = 0; round < 40; ++round) {
                const Bytes damaged = flipBits(stream, random);
                const auto capacity =
                    static_cast<std::uint32_t>(round % 4 == 0 ? plain.size() / 3 : plain.size() + 100);
                ASSERT_TRUE(
                    d.agree(damaged.data(), damaged.size(), capacity, "damaged, round " + std::to_string(round)));
            }
        }
    }
    for (int result : {0, -10, -11}) EXPECT_GT(d.seen(result), 0u) << result;
}

TEST(RawInflateFast, HandMadeDynamicBlocks) {
    Differential d;
    std::mt19937 random(71);
    for (int block = 0; block < 2500; ++block) {
        const Bytes stream = randomDynamicBlock(random);
        const std::string what = "dynamic block " + std::to_string(block);
        const auto capacity = static_cast<std::uint32_t>(block % 7 == 0 ? random() % 8 : 4096);
        if (block % 5 == 0) {
            ASSERT_TRUE(d.everyLength(stream, capacity, what));
        } else {
            ASSERT_TRUE(d.agree(stream.data(), stream.size(), capacity, what));
            const Bytes damaged = flipBits(stream, random);
            ASSERT_TRUE(d.agree(damaged.data(), damaged.size(), capacity, what + " damaged"));
        }
    }
    // The header checks and the decode failures each turn up.
    for (int result : {0, 1, 2, -3, -4, -5, -6, -7, -8, -9, -10, -11}) EXPECT_GT(d.seen(result), 0u) << result;
}

}  // namespace
