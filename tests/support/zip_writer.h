// Writes zip archives of deflated members, for tests and the demo: a container whose real
// deflate streams are known exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

using Bytes = std::vector<std::uint8_t>;

struct ZipMember {
    std::string name;
    Bytes data;
};

// The archive: a local header and raw deflate data per member, then the central directory.
Bytes writeZip(const std::vector<ZipMember>& members);

// Where each member's compressed data lies, as the archive's central directory says.
struct ZipEntry {
    std::uint64_t dataOffset;
    std::uint64_t compressedSize;
    std::uint64_t size;
};
std::vector<ZipEntry> readZipDirectory(const Bytes& archive);

}  // namespace korvel
