// Reading the command line: options, format switches, long options and the input name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "core/size_rules.h"

namespace korvel {

// Hex digits from the start of `text`, stopping at the first other character; wraps modulo 2^64.
std::uint64_t parseHex(const char* text);
// Decimal as atoi reads it (space, sign, digits), wrapping in 32 bits instead of overflowing.
std::int32_t parseDecimal(const char* text);

enum class FormatState : std::int8_t { Off = 0, Default = 1, Selected = 2 };

// One state per row of the format table, in its order.
using FormatStates = std::vector<FormatState>;

// Applies one format switch given without its leading "-"; returns 0 (switched off or empty)
// or 2 (selected). A trailing "-" is cut off in place.
int applyFormatSwitch(char* text, FormatStates& states, std::span<const FormatDescriptor> formats = formatTable());

// The values of the single-dash options.
struct RunOptions {
    std::string outPrefix;  // empty: "!Out"
    std::uint32_t bufferCapacity = defaultBufferCapacity;
    std::uint32_t skipSize = 0;
    std::uint64_t startOffset = 0;  // as parsed; see CommandLine::startOffsetFor
    std::int32_t stopCount = 0;
    bool stopEnabled = false;
};

// --depth goes at most this many levels down.
inline constexpr unsigned maxDepth = 16;

struct CommandLine {
    std::span<const FormatDescriptor> formats = formatTable();  // the table the switches name
    std::optional<std::string> inputName;
    RunOptions options;
    FormatStates formatStates = FormatStates(formats.size(), FormatState::Default);
    FormatState activeState = FormatState::Default;

    // Long options.
    unsigned jobs = 0;  // 0: one per CPU the process may run on
    bool list = false;
    bool outer = false;
    bool real = false;      // only streams judged real or plausible
    bool verdicts = false;  // judge every stream, for the report
    bool progress = false;
    std::optional<std::string> reportPath;
    std::optional<std::string> mapPath;  // --map: the SVG picture of the findings
    std::uint64_t maxOutput = 0;  // --max-output: bytes the files written may hold; 0: no limit
    unsigned depth = 0;           // --depth: levels of streams inside streams to scan
    std::uint64_t depthMemory = std::uint64_t{1} << 30;  // --depth-memory: decoded bytes held for them
    bool help = false;
    bool version = false;
    std::string error;  // the message for the first long option that could not be taken

    // Whether the streams are judged (families, evidence, verdicts) before they are passed on.
    bool judged() const { return real || outer || verdicts || mapPath; }
    // The formats to try, in table order.
    std::vector<const FormatDescriptor*> activeFormats() const;
    // Below 4 GiB an offset is 32-bit, so -offs keeps only its last eight hex digits there.
    std::uint64_t startOffsetFor(std::uint64_t inputSize) const;
};

CommandLine parseCommandLine(int argc, char** argv, std::span<const FormatDescriptor> formats = formatTable());

// The usage text: a line for each format's switch, in table order.
std::string usageText(std::span<const FormatDescriptor> formats = formatTable());
void printUsage(std::span<const FormatDescriptor> formats = formatTable());
void printLongOptions();
void printVersion();
// Worker threads when --jobs is not given: the CPUs this process may run on.
unsigned defaultJobs();

}  // namespace korvel
