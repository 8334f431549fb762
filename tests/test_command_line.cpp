// Option parsing, number reading and format selection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "formats/format_table.h"

// Cases name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace korvel;

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

// The switch names of every format but `left`, in table order.
std::string allFormatsBut(const char* left = "") {
    std::string names;
    for (const FormatDescriptor& format : formatTable()) {
        if (std::string(format.switchName) == left) continue;
        if (!names.empty()) names += ' ';
        names += format.switchName;
    }
    return names;
}

struct ParseCase {
    std::vector<std::string> args;
    std::string tried = allFormatsBut();  // switch names, in the order tried
    const char* inputName = "in.bin";
    std::uint32_t bufferCapacity = defaultBufferCapacity;
    std::uint32_t skipSize = 0;
    std::uint64_t startOffset = 0;
    std::int32_t stopCount = 0;
    std::string outPrefix;
    unsigned jobs = 0;
    std::uint64_t maxOutput = 0;
    unsigned depth = 0;
    std::uint64_t depthMemory = std::uint64_t{1} << 30;
    bool help = false;
    bool version = false;
    std::string error;
};

std::ostream& operator<<(std::ostream& out, const ParseCase& c) {
    for (const auto& arg : c.args) out << '"' << arg << "\" ";
    return out;
}

class ParseCommandLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, SetsOptionsAndFormats) {
    const ParseCase& c = GetParam();
    std::vector<std::string> storage{"korvel"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());

    const CommandLine parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());

    std::string tried;
    for (const FormatDescriptor* format : parsed.activeFormats()) {
        if (!tried.empty()) tried += ' ';
        tried += format->switchName;
    }
    EXPECT_EQ(tried, c.tried);
    if (c.inputName) {
        ASSERT_TRUE(parsed.inputName.has_value());
        EXPECT_EQ(*parsed.inputName, c.inputName);
    } else {
        EXPECT_FALSE(parsed.inputName.has_value());
    }
    const auto& options = parsed.options;
    EXPECT_EQ(options.bufferCapacity, c.bufferCapacity);
    EXPECT_EQ(options.skipSize, c.skipSize);
    EXPECT_EQ(options.startOffset, c.startOffset);
    EXPECT_EQ(options.stopCount, c.stopCount);
    EXPECT_EQ(options.stopEnabled, c.stopCount != 0);
    EXPECT_EQ(options.outPrefix, c.outPrefix);
    EXPECT_EQ(parsed.jobs, c.jobs);
    EXPECT_EQ(parsed.maxOutput, c.maxOutput);
    EXPECT_EQ(parsed.depth, c.depth);
    EXPECT_EQ(parsed.depthMemory, c.depthMemory);
    EXPECT_EQ(parsed.help, c.help);
    EXPECT_EQ(parsed.version, c.version);
    EXPECT_EQ(parsed.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCommandLineTest,
    testing::Values(
        ParseCase{.args = {"in.bin"}},
        ParseCase{.args = {}, .inputName = nullptr},
        ParseCase{.args = {"a.bin", "-lzo", "in.bin"}, .tried = "lzo"},  // last name wins
        ParseCase{.args = {"in.bin", ""}, .inputName = ""},  // an empty name counts too
        ParseCase{.args = {"-mem16", "in.bin"}, .bufferCapacity = 16u << 20},
        ParseCase{.args = {"-MEM4096", "in.bin"}, .bufferCapacity = 0},  // wraps
        ParseCase{.args = {"-mem-1", "in.bin"}, .bufferCapacity = 0xFFF00000},
        ParseCase{.args = {"-memx", "in.bin"}, .bufferCapacity = 0},
        ParseCase{.args = {"-skip-1", "in.bin"}, .skipSize = 0xFFFFFFFF},
        ParseCase{.args = {"-OFFS1f0", "in.bin"}, .startOffset = 0x1F0},
        ParseCase{.args = {"-offs0x1f0", "in.bin"}, .startOffset = 0},
        ParseCase{.args = {"-stop-1", "in.bin"}, .stopCount = -1},
        ParseCase{.args = {"-stop3", "-stop0", "in.bin"}},  // a later value overrides
        ParseCase{.args = {"-outdump_", "in.bin"}, .outPrefix = "dump_"},
        // Bare option names are not strictly longer than the option: they are format switches.
        ParseCase{.args = {"-Out", "in.bin"}, .tried = ""},
        ParseCase{.args = {"-stop", "in.bin"}, .tried = ""},
        ParseCase{.args = {"-lzo", "in.bin"}, .tried = "lzo"},
        ParseCase{.args = {"-LZO", "-ucl2b", "in.bin"}, .tried = "lzo ucl2b"},
        ParseCase{.args = {"-deflate-", "in.bin"}, .tried = allFormatsBut("deflate")},
        ParseCase{.args = {"-lzo", "-deflate-", "in.bin"}, .tried = "lzo"},
        ParseCase{.args = {"-lzo", "-lzo-", "in.bin"}, .tried = ""},
        ParseCase{.args = {"-lzo--", "in.bin"}},  // "lzo-" names no format
        ParseCase{.args = {"-", "--", "in.bin"}},
        ParseCase{.args = {"-pkwar", "in.bin"}, .tried = ""},  // misspelt: selects none
        ParseCase{.args = {"-Ucl2D", "-PKWARE", "in.bin"}, .tried = "pkware ucl2d"},
        // Long options begin with "--" and are never format switches.
        ParseCase{.args = {"--jobs=3", "in.bin"}, .jobs = 3},
        ParseCase{.args = {"--jobs", "4", "in.bin"}, .jobs = 4},
        ParseCase{.args = {"in.bin", "--jobs", "5"}, .jobs = 5},  // the value is not the input
        ParseCase{.args = {"--jobs=0", "in.bin"}, .error = "Invalid value for --jobs: '0': give a number of threads from 1 up"},
        ParseCase{.args = {"--jobs=2x", "in.bin"}, .error = "Invalid value for --jobs: '2x': give a number of threads from 1 up"},
        ParseCase{.args = {"in.bin", "--jobs"}, .error = "Invalid value for --jobs: '': give a number of threads from 1 up"},
        ParseCase{.args = {"--max-output=1500", "in.bin"}, .maxOutput = 1500},
        ParseCase{.args = {"--max-output", "3k", "in.bin"}, .maxOutput = 3 << 10},
        ParseCase{.args = {"--max-output=2G", "in.bin"}, .maxOutput = std::uint64_t{2} << 30},
        ParseCase{.args = {"--max-output=17179869183G", "in.bin"}, .maxOutput = std::uint64_t{17179869183} << 30},
        ParseCase{.args = {"--max-output=17179869184G", "in.bin"},  // 2^64: too large
                  .error = "Invalid value for --max-output: '17179869184G': give a size in bytes from 1 up, or with K, "
                           "M or G (--max-output=500M)"},
        ParseCase{.args = {"--max-output=0", "in.bin"},
                  .error = "Invalid value for --max-output: '0': give a size in bytes from 1 up, or with K, M or G "
                           "(--max-output=500M)"},
        ParseCase{.args = {"--max-output=5MB", "in.bin"},
                  .error = "Invalid value for --max-output: '5MB': give a size in bytes from 1 up, or with K, M or G "
                           "(--max-output=500M)"},
        ParseCase{.args = {"--depth=3", "--depth-memory=64M", "in.bin"}, .depth = 3, .depthMemory = 64 << 20},
        ParseCase{.args = {"--depth", "16", "in.bin"}, .depth = 16},
        ParseCase{.args = {"--depth=17", "in.bin"},
                  .error = "Invalid value for --depth: '17': give a number of levels from 0 to 16"},
        ParseCase{.args = {"--depth=-1", "in.bin"},
                  .error = "Invalid value for --depth: '-1': give a number of levels from 0 to 16"},
        ParseCase{.args = {"--depth-memory=K", "in.bin"},
                  .error = "Invalid value for --depth-memory: 'K': give a size in bytes from 1 up, or with K, M or G "
                           "(--depth-memory=2G)"},
        ParseCase{.args = {"--help"}, .inputName = nullptr, .help = true},
        ParseCase{.args = {"--version", "in.bin"}, .version = true},
        ParseCase{.args = {"--help=x", "in.bin"}, .error = "Option --help takes no value (see --help)"},
        ParseCase{.args = {"--lzo", "in.bin"}, .error = "Unknown option: --lzo (see --help)"},
        ParseCase{.args = {"--nope=1", "--jobs=0", "in.bin"}, .error = "Unknown option: --nope (see --help)"}));

// -offs is 32-bit below 4 GiB: beyond eight digits only the last eight count there.
TEST(StartOffsetTest, WrapsBelowFourGiBOnly) {
    const struct {
        const char* offs;
        std::uint64_t inputSize, start;
    } cases[] = {
        {"-offs100000010", 19, 0x10},
        {"-offs100000010", 0xFFFFFFFF, 0x10},
        {"-offs100000010", 0x100000000, 0x100000010},
        {"-offsFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF},
        {"-offs1FFFFFFFF", 0x100000000, 0x1FFFFFFFF},
    };
    for (const auto& c : cases) {
        std::string program = "korvel", offs = c.offs;
        char* argv[] = {program.data(), offs.data()};
        EXPECT_EQ(parseCommandLine(2, argv).startOffsetFor(c.inputSize), c.start) << c.offs << " " << c.inputSize;
    }
}

}  // namespace
