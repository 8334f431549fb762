// The formats the scan knows, in the order they are tried at each offset. A new format is one
// unpacker file pair and one row in format_table.cpp; nothing else knows a format by position.
// Thread safety: constant; read from any thread.
#pragma once

#include <span>

#include "core/format_descriptor.h"

std::span<const FormatDescriptor> formatTable();
// The row whose switch name is `switchName` ignoring case; null when none is.
const FormatDescriptor* findFormat(const char* switchName);
