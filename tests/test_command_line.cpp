// Option parsing, number reading and format selection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"

// Cases name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

TEST(ParseHexTest, ReadsDigitsUntilTheFirstOther) {
    const struct {
        const char* text;
        std::uint64_t value;
    } cases[] = {
        {"1f0", 0x1F0},           {"1F0", 0x1F0},        {"0x1f0", 0},          {"", 0},
        {" 1", 0},                {"-1", 0},             {"+1", 0},             {"aBcDeF", 0xABCDEF},
        {"12g4", 0x12},           {"\x80" "1", 0},       {"fffffffff", 0xFFFFFFFFF},
        {"ffffffffffffffff", 0xFFFFFFFFFFFFFFFF},        {"10000000000000001", 1},  // wraps modulo 2^64
    };
    for (const auto& c : cases) EXPECT_EQ(parseHex(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseDecimalTest, ReadsLikeAtoiButWraps) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"42", 42},   {"  \t\n42", 42},   {"-7", -7},          {"+5x", 5},
        {"x5", 0},    {"", 0},            {"- 5", 0},          {"12 34", 12},
        {"-1", -1},   {"4294967296", 0},  {"2147483648", INT32_MIN},  {"4294967295", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDecimal(c.text), c.value) << '"' << c.text << '"';
}

struct ParseCase {
    std::vector<std::string> args;
    std::string rowStates;  // one digit per row 0..4: Off 0, Default 1, Selected 2
    FormatState activeState = FormatState::Default;
    const char* inputName = "in.bin";
    std::uint32_t bufferCapacity = defaultBufferCapacity;
    std::uint32_t skipSize = 0;
    std::uint64_t startOffset = 0;
    std::int32_t stopCount = 0;
    std::string outPrefix;
};

std::ostream& operator<<(std::ostream& out, const ParseCase& c) {
    for (const auto& arg : c.args) out << '"' << arg << "\" ";
    return out;
}

class ParseCommandLineTest : public testing::TestWithParam<ParseCase> {
protected:
    void TearDown() override { Unpacker::runOptions = RunOptions{}; }
};

TEST_P(ParseCommandLineTest, SetsOptionsAndRowStates) {
    const ParseCase& c = GetParam();
    registerUnpackers();
    Unpacker::runOptions = RunOptions{};
    std::vector<std::string> storage{"korvel"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());

    const CommandLine parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());

    std::string states;
    for (std::size_t row = 0; row < 5; ++row) states += static_cast<char>('0' + static_cast<int>(unpackerTable[row].state));
    EXPECT_EQ(states, c.rowStates);
    EXPECT_EQ(unpackerTable[5].unpacker, nullptr);
    EXPECT_EQ(parsed.activeState, c.activeState);
    if (c.inputName) {
        ASSERT_TRUE(parsed.inputName.has_value());
        EXPECT_EQ(*parsed.inputName, c.inputName);
    } else {
        EXPECT_FALSE(parsed.inputName.has_value());
    }
    const auto& options = Unpacker::runOptions;
    EXPECT_EQ(options.bufferCapacity, c.bufferCapacity);
    EXPECT_EQ(options.skipSize, c.skipSize);
    EXPECT_EQ(options.startOffset, c.startOffset);
    EXPECT_EQ(options.stopCount, c.stopCount);
    EXPECT_EQ(options.stopEnabled, c.stopCount != 0);
    EXPECT_EQ(options.outPrefix, c.outPrefix);
}

constexpr auto S = FormatState::Selected;

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCommandLineTest,
    testing::Values(
        ParseCase{.args = {"in.bin"}, .rowStates = "11111"},
        ParseCase{.args = {}, .rowStates = "11111", .inputName = nullptr},
        ParseCase{.args = {"a.bin", "-lzo", "in.bin"}, .rowStates = "11211", .activeState = S},  // last name wins
        ParseCase{.args = {"in.bin", ""}, .rowStates = "11111", .inputName = ""},  // an empty name counts too
        ParseCase{.args = {"-mem16", "in.bin"}, .rowStates = "11111", .bufferCapacity = 16u << 20},
        ParseCase{.args = {"-MEM4096", "in.bin"}, .rowStates = "11111", .bufferCapacity = 0},  // wraps
        ParseCase{.args = {"-mem-1", "in.bin"}, .rowStates = "11111", .bufferCapacity = 0xFFF00000},
        ParseCase{.args = {"-memx", "in.bin"}, .rowStates = "11111", .bufferCapacity = 0},
        ParseCase{.args = {"-skip-1", "in.bin"}, .rowStates = "11111", .skipSize = 0xFFFFFFFF},
        ParseCase{.args = {"-OFFS1f0", "in.bin"}, .rowStates = "11111", .startOffset = 0x1F0},
        ParseCase{.args = {"-offs0x1f0", "in.bin"}, .rowStates = "11111", .startOffset = 0},
        ParseCase{.args = {"-stop-1", "in.bin"}, .rowStates = "11111", .stopCount = -1},
        ParseCase{.args = {"-stop3", "-stop0", "in.bin"}, .rowStates = "11111"},  // a later value overrides
        ParseCase{.args = {"-outdump_", "in.bin"}, .rowStates = "11111", .outPrefix = "dump_"},
        // Bare option names are not strictly longer than the option: they are format switches.
        ParseCase{.args = {"-Out", "in.bin"}, .rowStates = "11111", .activeState = S},
        ParseCase{.args = {"-stop", "in.bin"}, .rowStates = "11111", .activeState = S},
        ParseCase{.args = {"-lzo", "in.bin"}, .rowStates = "11211", .activeState = S},
        ParseCase{.args = {"-LZO", "-ucl2b", "in.bin"}, .rowStates = "11221", .activeState = S},
        ParseCase{.args = {"-deflate-", "in.bin"}, .rowStates = "01111"},
        ParseCase{.args = {"-lzo", "-deflate-", "in.bin"}, .rowStates = "01211", .activeState = S},
        ParseCase{.args = {"-lzo", "-lzo-", "in.bin"}, .rowStates = "11011", .activeState = S},
        ParseCase{.args = {"-lzo--", "in.bin"}, .rowStates = "11111"},  // "lzo-" names no format
        ParseCase{.args = {"-", "--", "in.bin"}, .rowStates = "11111"},
        ParseCase{.args = {"-pkwar", "in.bin"}, .rowStates = "11111", .activeState = S},  // misspelt: selects none
        ParseCase{.args = {"-Ucl2D", "-PKWARE", "in.bin"}, .rowStates = "12112", .activeState = S}));

}  // namespace
