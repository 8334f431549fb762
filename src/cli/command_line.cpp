#include "cli/command_line.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "formats/deflate_unpacker.h"
#include "formats/lzo_unpacker.h"
#include "formats/pkware_unpacker.h"
#include "formats/ucl_unpacker.h"

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

int applyFormatSwitch(char* text) {
    const std::size_t length = std::strlen(text);
    if (length == 0) return 0;
    int result = 2;
    if (text[length - 1] == '-') {
        text[length - 1] = '\0';
        result = 0;
    }
    for (auto& row : unpackerTable) {
        if (!row.unpacker) break;
        if (strcasecmp(row.switchName, text) == 0) {
            row.state = static_cast<FormatState>(result);
            break;
        }
    }
    return result;
}

void printUsage() {
    std::fputs(
        "KORVEL v0.5 - finds compressed streams hidden anywhere in a file and extracts them\n"
        "Scans every byte offset with five decoders and saves each stream that decodes cleanly.\n"
        "Raw deflate and DCL explode: decoders of KORVEL's own.\n"
        "LZO1X: the LZO 2 library.\n"
        "NRV2B and NRV2D: the UCL library.\n"
        "Written by the KORVEL team.\n"
        "Usage: korvel [options] <filename>\n"
        "\n"
        "Options are:\n"
        "  -deflate[-]  Deflate format\n"
        "  -pkware[-]   PKWare Compression Library format\n"
        "  -lzo[-]      LZO compression library format\n"
        "  -ucl2b[-]    UCL nrv2b compression library format\n"
        "  -ucl2d[-]    UCL nrv2d compression library format\n"
        "  -Out<dir>    prefix for out directory (default: '!Out')\n"
        "  -mem<size>   memory size in Mb for unpack buffer (default: 256)\n"
        "  -skip<size>  don't create out files smaller than size in bytes (default: 0)\n"
        "  -offs<hex>   start scanning from this offset in hex (default: 0)\n"
        "  -stop<max>   stop after max files unpacked (default: 0 - unlimited)\n"
        "Note: by default, all compression formats are used. Adding the '-' after\n"
        "the compression format switch turns it off. If one or more compression formats\n"
        "are specified without the '-' at the end, they will be the only ones used.\n",
        stdout);
}

void registerUnpackers() {
    for (auto& row : unpackerTable) row = UnpackerEntry{};
    unpackerTable[0] = {FormatState::Off, "deflate", std::make_unique<DeflateUnpacker>("Deflate")};
    unpackerTable[1] = {FormatState::Off, "pkware", std::make_unique<PkwareUnpacker>("PKWare")};
    unpackerTable[2] = {FormatState::Off, "lzo", std::make_unique<LzoUnpacker>("LZO")};
    unpackerTable[3] = {FormatState::Off, "ucl2b", std::make_unique<Ucl2bUnpacker>("UCL2B")};
    unpackerTable[4] = {FormatState::Off, "ucl2d", std::make_unique<Ucl2dUnpacker>("UCL2D")};
    for (auto& row : unpackerTable) {
        if (!row.unpacker) break;
        row.state = FormatState::Default;
    }
}

namespace {

// The option name matches case-insensitively and only with at least one character of value.
const char* optionValue(const char* argument, const char* option) {
    const std::size_t length = std::strlen(option);
    if (std::strlen(argument) <= length || strncasecmp(argument, option, length) != 0) return nullptr;
    return argument + length;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine result;
    auto& options = Unpacker::runOptions;
    int selectionMask = 1;
    for (int i = 1; i < argc; ++i) {
        char* argument = argv[i];
        if (argument[0] != '-') {
            result.inputName = argument;
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
            selectionMask |= applyFormatSwitch(argument + 1);
        }
    }
    options.stopEnabled = options.stopCount != 0;
    result.activeState = selectionMask == 1 ? FormatState::Default : FormatState::Selected;
    return result;
}
