// Reading the command line: options, format switches and the input name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "unpack/registry.h"

// Hex digits from the start of `text`, stopping at the first other character; wraps modulo 2^64.
std::uint64_t parseHex(const char* text);
// Decimal as atoi reads it (space, sign, digits), wrapping in 32 bits instead of overflowing.
std::int32_t parseDecimal(const char* text);
// Applies one format switch given without its leading "-"; returns 0 (switched off or empty)
// or 2 (selected). A trailing "-" is cut off in place.
int applyFormatSwitch(char* text);
void printUsage();

// Enters the five unpackers in rows 0 to 4, in their fixed order, all Default.
void registerUnpackers();

struct CommandLine {
    std::optional<std::string> inputName;
    FormatState activeState = FormatState::Default;
};

// Reads the arguments after the program name into runOptions and the table's row states.
CommandLine parseCommandLine(int argc, char** argv);
