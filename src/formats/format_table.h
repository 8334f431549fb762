// The formats the scan knows, in the order they are tried at each offset. A new format is one
// unpacker file pair and one row in format_table.cpp; nothing else knows a format by position.
// Thread safety: constant; read from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "unpack/unpacker.h"

struct FormatDescriptor {
    const char* name;        // display name in messages, and the output folder's suffix
    const char* switchName;  // command-line switch without its "-", compared ignoring case
    // A new unpacker for one worker, bound to that worker's scan state.
    std::unique_ptr<Unpacker> (*makeUnpacker)(ScanState& scan);
    // The decoder may write one byte past the buffer's capacity (found streams are then
    // reported as exhausting it).
    bool writesSpareByte;
};

std::span<const FormatDescriptor> formatTable();
// The row whose switch name is `switchName` ignoring case; null when none is.
const FormatDescriptor* findFormat(const char* switchName);
