// Streams of each format made by the compressors the tests use, for inputs that must hold a
// stream of every format the table lists. A format with none here has no samples, and such
// inputs leave it out.
#pragma once

#include <vector>

#include "core/format_descriptor.h"

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

// `plain` compressed in each way the tests make streams of `format` (deflate: levels 0, 1 and 9
// and fixed codes; DCL: ASCII and binary literals); the first is the usual one.
std::vector<Bytes> sampleStreams(const FormatDescriptor& format, const Bytes& plain);

}  // namespace korvel
