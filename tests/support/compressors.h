// The libraries' own compressors, used to make real streams for tests and the sample file.
#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

Bytes lzoCompress(const Bytes& plain);
Bytes ucl2bCompress(const Bytes& plain);
Bytes ucl2dCompress(const Bytes& plain);
// A raw deflate stream (no wrapper), as zlib makes it.
Bytes deflateRaw(const Bytes& plain, int level = 6, int strategy = 0);

}  // namespace korvel
