// The fixed table of unpackers the scan driver walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "unpack/unpacker.h"

enum class FormatState : std::int8_t { Off = 0, Default = 1, Selected = 2 };

struct UnpackerEntry {
    FormatState state = FormatState::Off;
    const char* switchName = nullptr;    // static text, not owned
    std::unique_ptr<Unpacker> unpacker;  // null marks the end of the used rows
};

inline constexpr std::size_t unpackerTableRows = 64;

// Rows are destroyed from the last to the first at exit; the first unpacker deleted closes
// the input.
extern UnpackerEntry unpackerTable[unpackerTableRows];
