#include "cli/command_line.h"

#include <sched.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace korvel {

std::uint64_t parseHex(const char* text) {
    std::uint64_t value = 0;
    for (;; ++text) {
        const char c = *text;
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else return value;
        value = value * 16 + digit;
    }
}

std::int32_t parseDecimal(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

int applyFormatSwitch(char* text, FormatStates& states, std::span<const FormatDescriptor> formats) {
    const std::size_t length = std::strlen(text);
    if (length == 0) return 0;
    int result = 2;
    if (text[length - 1] == '-') {
        text[length - 1] = '\0';
        result = 0;
    }
    if (const FormatDescriptor* format = findFormat(text, formats))
        states[static_cast<std::size_t>(format - formats.data())] = static_cast<FormatState>(result);
    return result;
}

std::vector<const FormatDescriptor*> CommandLine::activeFormats() const {
    std::vector<const FormatDescriptor*> active;
    for (std::size_t i = 0; i < formats.size(); ++i)
        if (formatStates[i] == activeState) active.push_back(&formats[i]);
    return active;
}

std::uint64_t CommandLine::startOffsetFor(std::uint64_t inputSize) const {
    constexpr std::uint64_t fourGiB = std::uint64_t{1} << 32;
    return inputSize < fourGiB ? options.startOffset % fourGiB : options.startOffset;
}

std::string usageText(std::span<const FormatDescriptor> formats) {
    std::string text =
        "KORVEL v0.5 - finds compressed streams hidden anywhere in a file and extracts them\n"
        "Scans every byte offset with five decoders and saves each stream that decodes cleanly.\n"
        "Raw deflate and DCL explode: decoders of KORVEL's own.\n"
        "LZO1X: the LZO 2 library.\n"
        "NRV2B and NRV2D: the UCL library.\n"
        "Written by the KORVEL team.\n"
        "Usage: korvel [options] <filename>\n"
        "\n"
        "Options are:\n";
    // Descriptions start after the first 15 characters.
    for (const FormatDescriptor& format : formats) {
        std::string option = std::string("-") + format.switchName + "[-]";
        option.resize(std::max<std::size_t>(option.size(), 12), ' ');
        text += "  " + option + " " + format.usage + "\n";
    }
    text +=
        "  -Out<dir>    prefix for out directory (default: '!Out')\n"
        "  -mem<size>   memory size in Mb for unpack buffer (default: 256)\n"
        "  -skip<size>  don't create out files smaller than size in bytes (default: 0)\n"
        "  -offs<hex>   start scanning from this offset in hex (default: 0)\n"
        "  -stop<max>   stop after max files unpacked (default: 0 - unlimited)\n"
        "Note: by default, all compression formats are used. Adding the '-' after\n"
        "the compression format switch turns it off. If one or more compression formats\n"
        "are specified without the '-' at the end, they will be the only ones used.\n";
    return text;
}

void printUsage(std::span<const FormatDescriptor> formats) { std::fputs(usageText(formats).c_str(), stdout); }

void printLongOptions() {
    std::fputs(
        "\n"
        "Long options:\n"
        "  --jobs=N       scan with N threads (default: one per CPU); the output is the same for any N\n"
        "  --list         print what a run would print, but create no folder and write no file\n"
        "  --report=FILE  also write one JSON object per line printed, and a summary, to FILE\n"
        "  --map=FILE.svg draw where the streams lie, by verdict, and the input's entropy, to FILE.svg\n"
        "  --max-output=SIZE  write files of at most SIZE bytes in all (K, M, G); past it, stop with status 1\n"
        "  --depth=N      also scan the decoded bytes of every stream kept, N levels down (default 0)\n"
        "  --depth-memory=SIZE  decoded bytes held for those scans at once (default 1G)\n"
        "  --real         keep only the streams judged real or plausible, not the noise\n"
        "  --outer        skip noise that starts inside an earlier reported stream of the same format\n"
        "  --verdicts     judge every stream: the report gives its verdict, family and evidence\n"
        "  --progress     show the scan's progress on standard error\n"
        "  --help         print this text and exit\n"
        "  --version      print the version and exit\n",
        stdout);
}

void printVersion() { std::fputs("korvel 0.5\n", stdout); }

unsigned defaultJobs() {
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
        const int count = CPU_COUNT(&cpus);
        if (count > 0) return static_cast<unsigned>(count);
    }
    return std::max(std::thread::hardware_concurrency(), 1u);
}

namespace {

// The option name matches case-insensitively and only with at least one character of value.
const char* optionValue(const char* argument, const char* option) {
    const std::size_t length = std::strlen(option);
    if (std::strlen(argument) <= length || strncasecmp(argument, option, length) != 0) return nullptr;
    return argument + length;
}

// A whole positive decimal number that fits the thread count, or 0.
unsigned parseJobs(const std::string& text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<unsigned>(std::stoul(text));
}

// A whole positive number of bytes, with an optional K, M or G (powers of 1024); 0 when the
// text is anything else or the size passes 2^64.
std::uint64_t parseSize(const std::string& text) {
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty()) return 0;
    const std::string suffix = digits == std::string::npos ? "" : text.substr(digits);
    unsigned shift = 0;
    if (suffix.size() == 1 && std::strchr("kK", suffix[0])) shift = 10;
    else if (suffix.size() == 1 && std::strchr("mM", suffix[0])) shift = 20;
    else if (suffix.size() == 1 && std::strchr("gG", suffix[0])) shift = 30;
    else if (!suffix.empty()) return 0;
    const std::string number = text.substr(0, digits);
    if (number.size() > 19) return 0;
    const std::uint64_t value = std::stoull(number);
    if (value == 0 || value > (~std::uint64_t{0} >> shift)) return 0;
    return value << shift;
}

// Takes the long option at argv[i] ("--name" or "--name=value"); may take argv[i + 1] as its value.
void takeLongOption(CommandLine& result, int argc, char** argv, int& i) {
    const std::string argument = argv[i];
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = argument.substr(equals + 1);
    auto fail = [&](const std::string& message) {
        if (result.error.empty()) result.error = message;
    };
    auto noValue = [&](bool& flag) {
        if (value) fail("Option " + name + " takes no value (see --help)");
        else flag = true;
    };
    auto size = [&](std::uint64_t& bytes, const char* example) {
        if (!value && i + 1 < argc) value = argv[++i];
        const std::uint64_t parsed = value ? parseSize(*value) : 0;
        if (parsed == 0)
            fail("Invalid value for " + name + ": '" + value.value_or("") +
                 "': give a size in bytes from 1 up, or with K, M or G (" + name + "=" + example + ")");
        else bytes = parsed;
    };

    if (name == "--jobs") {
        if (!value && i + 1 < argc) value = argv[++i];
        const unsigned jobs = value ? parseJobs(*value) : 0;
        if (jobs == 0) fail("Invalid value for --jobs: '" + value.value_or("") + "': give a number of threads from 1 up");
        else result.jobs = jobs;
    } else if (name == "--report") {
        if (!value && i + 1 < argc) value = argv[++i];
        if (!value || value->empty()) fail("Option --report needs a file name: --report=FILE");
        else result.reportPath = *value;
    } else if (name == "--map") {
        if (!value && i + 1 < argc) value = argv[++i];
        if (!value || value->empty()) fail("Option --map needs a file name: --map=FILE.svg");
        else result.mapPath = *value;
    } else if (name == "--max-output") {
        size(result.maxOutput, "500M");
    } else if (name == "--depth") {
        if (!value && i + 1 < argc) value = argv[++i];
        const bool valid = value && !value->empty() && value->size() <= 2 &&
                           value->find_first_not_of("0123456789") == std::string::npos;
        if (!valid || std::stoul(*value) > maxDepth)
            fail("Invalid value for --depth: '" + value.value_or("") + "': give a number of levels from 0 to " +
                 std::to_string(maxDepth));
        else result.depth = static_cast<unsigned>(std::stoul(*value));
    } else if (name == "--depth-memory") {
        size(result.depthMemory, "2G");
    } else if (name == "--list") {
        noValue(result.list);
    } else if (name == "--outer") {
        noValue(result.outer);
    } else if (name == "--real") {
        noValue(result.real);
    } else if (name == "--verdicts") {
        noValue(result.verdicts);
    } else if (name == "--progress") {
        noValue(result.progress);
    } else if (name == "--help") {
        noValue(result.help);
    } else if (name == "--version") {
        noValue(result.version);
    } else {
        fail("Unknown option: " + name + " (see --help)");
    }
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv, std::span<const FormatDescriptor> formats) {
    CommandLine result;
    result.formats = formats;
    result.formatStates.assign(formats.size(), FormatState::Default);
    auto& options = result.options;
    int selectionMask = 1;
    for (int i = 1; i < argc; ++i) {
        char* argument = argv[i];
        if (argument[0] != '-') {
            result.inputName = argument;
        } else if (argument[1] == '-' && argument[2] != '\0') {
            takeLongOption(result, argc, argv, i);
        } else if (const char* value = optionValue(argument, "-Out")) {
            options.outPrefix = value;
        } else if ((value = optionValue(argument, "-mem"))) {
            options.bufferCapacity = static_cast<std::uint32_t>(parseDecimal(value)) << 20;
        } else if ((value = optionValue(argument, "-skip"))) {
            options.skipSize = static_cast<std::uint32_t>(parseDecimal(value));
        } else if ((value = optionValue(argument, "-offs"))) {
            options.startOffset = parseHex(value);
        } else if ((value = optionValue(argument, "-stop"))) {
            options.stopCount = parseDecimal(value);
        } else {
            selectionMask |= applyFormatSwitch(argument + 1, result.formatStates, formats);
        }
    }
    options.stopEnabled = options.stopCount != 0;
    result.activeState = selectionMask == 1 ? FormatState::Default : FormatState::Selected;
    return result;
}

}  // namespace korvel
