// The formats the scan knows, in the order they are tried at each offset. A new format is a
// folder of its own under formats/ and one row in format_table.cpp; nothing else knows a format
// by position or by name.
// Thread safety: constant; read from any thread.
#pragma once

#include <span>

#include "core/format_descriptor.h"

namespace korvel {

std::span<const FormatDescriptor> formatTable();
// The row of `formats` whose switch name is `switchName` ignoring case; null when none is.
const FormatDescriptor* findFormat(const char* switchName, std::span<const FormatDescriptor> formats = formatTable());

}  // namespace korvel
