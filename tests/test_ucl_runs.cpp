// The run index against plain counting, queried the way walks query it: moving forwards and
// back inside runs, from outside them, and with limits that cut a run short or reach past it;
// and the length of a stretch that repeats a pattern.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"
#include "core/byte_runs.h"

using namespace korvel;

namespace {

// `value` -1: runs of whatever byte starts them.
template <typename Index, int value>
void expectCounts(const Bytes& bytes, std::uint32_t seed) {
    Index index;
    std::mt19937 generator(seed);
    const auto naive = [&](std::size_t from, std::size_t limit) {
        std::size_t end = from;
        const int target = value < 0 && from < bytes.size() ? bytes[from] : value;
        while (end < limit && bytes[end] == target) ++end;
        return end - from;
    };
    std::size_t position = 0;
    std::size_t home = 0;  // where the walks start: they come back to it and move it on
    for (int query = 0; query < 20000; ++query) {
        // Mostly one byte on or a few back from the last query, as successive offsets and walks
        // do; and walks that go on far ahead, through other runs, then back to the next offset.
        const unsigned step = generator() % 10;
        if (step == 0) position = home = generator() % bytes.size();
        else if (step < 5) position = (position + 1) % bytes.size();
        else if (step < 8) position -= std::min<std::size_t>(position, step);
        else if (step == 8) position = std::min(bytes.size() - 1, position + 100 + generator() % 1000);
        else position = home = (home + 1) % bytes.size();
        const std::size_t limit = generator() % 4 == 0 ? position + generator() % 80 : bytes.size();
        const std::size_t bounded = std::min(limit, bytes.size());
        ASSERT_EQ(index.length(bytes.data() + position, bytes.data() + bounded), naive(position, bounded))
            << "query " << query << " at " << position << " limit " << bounded;
    }
}

// Runs of `value`, or with -1 of a few values, one after another too.
Bytes runsOf(int value, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes;
    while (bytes.size() < 3000) {
        const std::size_t length = generator() % 3 == 0 ? generator() % 400 : generator() % 12;
        const auto runValue = static_cast<std::uint8_t>(value < 0 ? generator() % 3 : value);
        bytes.insert(bytes.end(), length, runValue);
        if (value >= 0 || generator() % 2 == 0) bytes.push_back(static_cast<std::uint8_t>(runValue ^ (1 + generator() % 255)));
    }
    return bytes;
}

TEST(ByteRunIndexTest, CountsMatchPlainCounting) {
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        expectCounts<ZeroRunIndex, 0x00>(runsOf(0x00, seed), seed);
        expectCounts<OnesRunIndex, 0xff>(runsOf(0xff, seed), seed);
        expectCounts<AnyByteRunIndex, -1>(runsOf(-1, seed), seed);
    }
}

// Patterns of every period up to 17 repeated for lengths around a word, then broken, with
// limits that cut the stretch short: word-at-a-time against byte-at-a-time.
TEST(PeriodicLengthTest, MatchesPlainCounting) {
    std::mt19937 generator(5);
    for (std::size_t period = 1; period <= 17; ++period) {
        for (std::size_t length = 0; length < 40; ++length) {
            Bytes bytes(period);
            for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
            while (bytes.size() < period + length) bytes.push_back(bytes[bytes.size() - period]);
            bytes.push_back(static_cast<std::uint8_t>(bytes[bytes.size() - period] ^ (1 + generator() % 255)));
            for (int i = 0; i < 12; ++i) bytes.push_back(static_cast<std::uint8_t>(generator()));
            for (const std::size_t limit : {bytes.size(), period + length / 2, period / 2}) {
                std::size_t same = 0;
                while (same + period < limit && bytes[same] == bytes[same + period]) ++same;
                EXPECT_EQ(periodicLength(bytes.data(), bytes.data() + limit, period), std::min(limit, same + period))
                    << "period " << period << " length " << length << " limit " << limit;
            }
        }
    }
}

}  // namespace
