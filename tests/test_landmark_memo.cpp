// Landmarks against plain walking, on a toy decoder whose steps have the checks the real ones
// have: a lookbehind check against the count produced so far, a room check, and steps that end
// the stream. Walks from every offset must end where plain walks end, with the same count.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <random>

#include "formats/common/landmark_memo.h"
#include "test_support.h"

using namespace korvel;

namespace {

struct Position {
    std::uint64_t position;
    std::uint64_t key() const { return position; }
    bool operator==(const Position&) const = default;
};

enum class End { Overrun, EndCode, Lookbehind, Room };

struct Outcome {
    End end;
    std::int64_t produced;
    std::uint64_t position;
    bool operator==(const Outcome&) const = default;
};

// A step at p reads one byte: 0xFF ends the stream; otherwise it moves 1 to 4 bytes on,
// produces 0 to 15 bytes, and may need up to 24 bytes produced before it.
struct ToyDecoder {
    const Bytes& input;
    std::int64_t capacity;
    std::uint64_t steps = 0;  // taken one by one, by both kinds of walk

    struct Step {
        std::int64_t output, need;
        std::uint64_t next;
    };
    Step at(std::uint64_t position) const {
        const std::uint8_t byte = input[position];
        const std::int64_t need = (byte >> 2 & 3) * 8;
        return {byte >> 4, need != 0 ? need : Stretch::noCheck, position + 1 + (byte & 3)};
    }
    // One step from `position` with `produced`; an outcome when the walk ends in it.
    std::optional<Outcome> take(std::uint64_t& position, std::int64_t& produced) {
        ++steps;
        if (position >= input.size()) return Outcome{End::Overrun, produced, position};
        if (input[position] == 0xFF) return Outcome{End::EndCode, produced, position};
        const Step step = at(position);
        if (step.need > produced) return Outcome{End::Lookbehind, produced, position};
        if (produced + step.output > capacity) return Outcome{End::Room, produced, position};
        produced += step.output;
        position = step.next;
        return std::nullopt;
    }
    Outcome plain(std::uint64_t start) {
        std::int64_t produced = 0;
        for (;;)
            if (auto outcome = take(start, produced)) return *outcome;
    }
    // As the dry runs use the memo.
    template <bool keepsTails = false>
    Outcome withLandmarks(LandmarkMemo<Position>& memo, std::uint64_t start) {
        LandmarkWalk<Position, keepsTails> walk(memo, start, 0);
        Position place{start};
        std::int64_t produced = 0;
        for (;;) {
            walk.at(place, produced, capacity);
            const bool ending = place.position >= input.size() || input[place.position] == 0xFF;
            if (!ending) {
                const Step step = at(place.position);
                walk.passed(step.output, step.need, step.output);
            }
            if (auto outcome = take(place.position, produced)) {
                if (ending) walk.ended(place);
                return *outcome;
            }
        }
    }
};

// Mostly long walks that merge soon, with end codes now and then and runs that make the lookbehind
// and room checks fail far from the start.
Bytes toyInput(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes input(size);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(random() % 251);
    for (std::size_t at = 0; at + 64 < size; at += 1 + random() % 9000) {
        const std::uint8_t value = static_cast<std::uint8_t>(random() % 255);
        std::fill_n(input.begin() + static_cast<std::ptrdiff_t>(at), 1 + random() % 64, value);
    }
    for (int end = 0; end < 3; ++end) input[random() % size] = 0xFF;
    return input;
}

TEST(LandmarkMemo, WalksEndWhereAndAsPlainWalksDo) {
    const Bytes input = toyInput(60000, 1);
    constexpr std::size_t roomy = LandmarkMemo<Position>::defaultBudget;
    constexpr std::int64_t unlimited = std::int64_t{1} << 40;
    struct Case {
        std::int64_t capacity;
        std::size_t budget;
        std::uint64_t nearby;  // landmarks thin out from this far on
        bool shuffled = false;
        bool warm = false;  // the memo first kept the paths of walks with no capacity
    };
    const Case cases[] = {
        {unlimited, roomy, 1 << 20},
        {unlimited, roomy, 64},  // thinning out far from the starts
        {unlimited, 64, 1 << 20},  // dropping, thinning out and thickening again
        {unlimited, 4, 1 << 20},
        {1500, roomy, 1 << 20},  // room checks fail along the paths
        {1500, roomy, 1 << 20, false, true},
        {5000, 64, 256, false, true},
        {40, 64, 1 << 20},
        {0, 64, 1 << 20},
        {unlimited, roomy, 1 << 20, true},  // offsets in any order
        {90000, 256, 256, true},
    };
    for (const bool tails : {false, true})  // each case without tails and with them
    for (const Case& test : cases) {
        std::vector<std::uint64_t> offsets(input.size());
        std::iota(offsets.begin(), offsets.end(), 0);
        if (test.shuffled) std::shuffle(offsets.begin(), offsets.end(), std::mt19937(2));
        ToyDecoder plain{input, test.capacity}, joined{input, test.capacity};
        LandmarkMemo<Position> memo(test.nearby, test.budget, nullptr, tails);
        const auto walk = [&](ToyDecoder& decoder, std::uint64_t offset) {
            return tails ? decoder.withLandmarks<true>(memo, offset) : decoder.withLandmarks(memo, offset);
        };
        if (test.warm) {
            ToyDecoder noCapacity{input, unlimited};
            for (std::uint64_t offset = 0; offset < input.size(); ++offset) walk(noCapacity, offset);
        }
        for (const std::uint64_t offset : offsets) {
            const Outcome expected = plain.plain(offset);
            const Outcome outcome = walk(joined, offset);
            ASSERT_EQ(outcome, expected) << (tails ? "tails, " : "") << "capacity " << test.capacity << " budget " << test.budget << " nearby " << test.nearby << " offset "
                                         << offset << ": ended " << static_cast<int>(outcome.end) << " at "
                                         << outcome.position << " with " << outcome.produced << ", plainly "
                                         << static_cast<int>(expected.end) << " at " << expected.position
                                         << " with " << expected.produced;
        }
        // The walks are some 300 steps long; with room for landmarks one steps about 16 to its
        // first landmark and hops from there to its end.
        if (test.budget == roomy && test.capacity > 5000) {
            EXPECT_LT(joined.steps * 10, plain.steps);
        }
    }
}

// Memos that share one budget, as the dry runs of a scan's workers do: each walks as plain walks
// do whatever it was given, none holds more than its own budget, the lent half is never
// overdrawn, and what a memo drops or held comes back to the budget.
TEST(LandmarkMemo, MemosSharingABudgetWalkAlikeAndGiveItBack) {
    constexpr std::int64_t unlimited = std::int64_t{1} << 40;
    const struct {
        std::size_t bytes;
        unsigned memos;
        std::size_t ownBudget;
        bool borrows;  // some memo holds more than it is assured of
    } cases[] = {
        {0, 3, LandmarkMemo<Position>::defaultBudget, false},  // each keeps its first nodes only
        {std::size_t{12} << 20, 3, LandmarkMemo<Position>::defaultBudget, true},  // pages of 2 MiB to borrow
        {std::size_t{64} << 20, 2, 5000, false},  // its own budget bounds each memo still
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message() << test.bytes << " bytes for " << test.memos << " memos");
        JoinBudget shared(test.bytes);
        std::vector<Bytes> inputs;
        std::vector<std::unique_ptr<LandmarkMemo<Position>>> memos;
        for (unsigned i = 0; i < test.memos; ++i) {
            inputs.push_back(toyInput(150000, 10 + i));
            memos.push_back(std::make_unique<LandmarkMemo<Position>>(1 << 20, test.ownBudget, &shared));
        }
        bool borrowed = false;
        std::size_t mostHeld = 0;
        for (std::uint64_t offset = 0; offset < inputs[0].size(); offset += 3) {
            for (unsigned i = 0; i < test.memos; ++i) {
                ToyDecoder plain{inputs[i], unlimited}, joined{inputs[i], unlimited};
                ASSERT_EQ(joined.withLandmarks(*memos[i], offset), plain.plain(offset)) << "memo " << i << " offset " << offset;
                ASSERT_LE(memos[i]->size(), memos[i]->held());
                ASSERT_LE(memos[i]->held(), test.ownBudget);
                mostHeld = std::max(mostHeld, memos[i]->held());
            }
            ASSERT_LE(shared.lent(), shared.lendable());
            borrowed = borrowed || shared.lent() != 0;
        }
        EXPECT_EQ(borrowed, test.borrows) << "most nodes held " << mostHeld;
        memos[0]->clear();
        memos.pop_back();
        if (test.memos > 2) {
            memos[1]->clear();
            EXPECT_EQ(shared.lent(), 0u);  // all back, from the memo cleared and the one gone
        }
        memos.clear();
        EXPECT_EQ(shared.lent(), 0u);
    }
}

// Walks that move by a fixed step (nine-bit literals, empty blocks of ten bits) must meet
// landmarks about every 16 steps, not in clusters with long gaps between them.
TEST(LandmarkMemo, LandmarksAreSpreadAlongWalksOfAnyFixedStep) {
    const LandmarkMemo<Position> memo(1 << 20);
    for (std::uint64_t step = 1; step < 200; ++step) {
        std::uint64_t last = 0, longestGap = 0;
        for (std::uint64_t k = 1; k < 20000; ++k) {
            if (!memo.isLandmark({k * step}, 0)) continue;
            longestGap = std::max(longestGap, k - last);
            last = k;
        }
        EXPECT_LT(longestGap, 400u) << "step " << step;
    }
}

// A walk moved on by other means (a dry run's own shortcut) must not link the landmark before
// the move to the one after it as if the steps between were all it took.
TEST(LandmarkMemo, AWalkThatJumpedLinksNothingAcrossTheJump) {
    LandmarkMemo<Position> memo(1 << 20);
    std::vector<std::uint64_t> landmarks;
    for (std::uint64_t position = 0; landmarks.size() < 2; ++position)
        if (memo.isLandmark({position}, 0)) landmarks.push_back(position);
    for (const bool jumped : {true, false}) {
        memo.clear();
        LandmarkWalk<Position> first(memo, landmarks[0], 0);
        Position place{landmarks[0]};
        std::int64_t produced = 0;
        first.at(place, produced, 100);  // a new landmark: nothing to hop along
        first.passed(1, Stretch::noCheck, 1);
        if (jumped) first.jumped();
        place = {landmarks[1]};  // where the jump landed, 50 bytes on
        produced = 50;
        first.at(place, produced, 100);
        // A walk from the first landmark with room for 10 bytes must not hop to the second.
        LandmarkWalk<Position> second(memo, landmarks[0], 0);
        Position from{landmarks[0]};
        std::int64_t count = 0;
        EXPECT_EQ(second.at(from, count, 10), !jumped) << (jumped ? "jumped" : "stepped");
    }
}

// A period of steps repeated, as walks along runs take it at once, against the same steps taken
// one by one: how many periods pass, and what n of them ask.
TEST(Stretch, RepeatedStepsAskWhatTheyAskOneByOne) {
    struct Step {
        std::int64_t output, need, room;
    };
    const std::vector<std::vector<Step>> periods = {
        {{1, Stretch::noCheck, 1}},
        {{0, Stretch::noCheck, Stretch::noCheck}, {3, 20, 3}, {1, Stretch::noCheck, 1}},
        {{258, 32768, 258}, {1, Stretch::noCheck, 1}},
        {{0, 5, Stretch::noCheck}, {0, Stretch::noCheck, Stretch::noCheck}},
        {{4, Stretch::noCheck, 9}, {2, 3, 2}},
    };
    for (std::size_t which = 0; which < periods.size(); ++which) {
        Stretch period;
        for (const Step& step : periods[which]) period.addStep(step.output, step.need, step.room);
        for (const std::int64_t count : {0, 4, 20, 32768, 40000}) {
            for (const std::int64_t capacity : {0, 30, 1000, 41000, 1 << 20}) {
                const std::uint64_t most = 300;
                std::uint64_t passing = 0;
                std::int64_t now = count;
                for (bool passes = true; passing < most && passes;) {
                    for (const Step& step : periods[which]) {
                        passes = passes && now >= step.need && now + step.room <= capacity;
                        now += step.output;
                    }
                    if (passes) ++passing;
                }
                const std::string where = "period " + std::to_string(which) + " count " + std::to_string(count) +
                                          " capacity " + std::to_string(capacity);
                EXPECT_EQ(period.timesPassing(count, capacity, most), passing) << where;
                for (const std::uint64_t times : {std::uint64_t{1}, passing, passing + 1}) {
                    if (times == 0 || times > most) continue;
                    const Stretch repeated = period.times(times);
                    EXPECT_EQ(repeated.passes(count, capacity), times <= passing) << where << " times " << times;
                    EXPECT_EQ(repeated.produced, static_cast<std::int64_t>(times) * period.produced) << where;
                }
            }
        }
    }
}

}  // namespace
