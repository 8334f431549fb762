// Containers made by real tools (lzop, mkfs.ubifs, mkfs.jffs2, mksquashfs, zip, gzip, git) from
// one deterministic tree of files, and PNG images made by pnmtopng, with their real compressed
// streams listed from the containers' own structures: headers, node headers, inode and fragment
// tables, directories, chunks.
// Nothing here scans for streams or tries decoding at guessed offsets; a stream is decoded only
// where the structure already places it, to read a table, an object's header or a
// text's decoded size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// About 600 KB: text, structured binary records, random bytes, zeros, from 300 bytes to
// 150 KB, with one subfolder. Every file and folder gets fixed permissions and times.
void writeContentTree(const std::string& dir);
// The bytes of every file writeContentTree writes, and of those not made of random bytes.
std::uint64_t contentTreeBytes();
std::uint64_t contentTreeCompressibleBytes();
// The raster bytes of the Netpbm images the png kind is made from, at each file's own depth.
std::uint64_t pngImageRasterBytes();

enum class ContainerKind {
    Lzop9,
    Lzop1,
    UbifsLzo,
    UbifsZlib,
    Jffs2Zlib,
    Jffs2Lzo,
    SquashfsGzip,
    SquashfsLzo,
    Zip9,
    Gzip,
    GitObjects,
    Png,  // images made by pnmtopng, not from the content tree
};

const std::vector<ContainerKind>& allContainerKinds();
// "lzop-9", "ubifs-zlib", ...
std::string containerName(ContainerKind kind);

struct RealStream {
    std::string format;  // "Deflate" or "LZO", as korvel names them
    // [offset, end) holds exactly the raw stream as korvel decodes it: for zlib-wrapped data
    // the deflate data between the 2-byte header and the Adler-32.
    std::uint64_t offset;
    std::uint64_t end;
    std::uint64_t size;  // decoded bytes

    bool operator==(const RealStream&) const = default;
};

struct RealContainer {
    std::string name;
    std::string path;
    std::vector<RealStream> streams;  // by offset
};

struct RealContainerBuild {
    std::optional<RealContainer> container;
    std::string missingTool;  // set, with no container, when a tool it needs is not installed
};

// Builds `kind` as `<workDir>/<name>.img`, using `<workDir>/<name>.work` as scratch space.
// Throws std::runtime_error when a tool fails or the container's structures do not parse.
RealContainerBuild buildRealContainer(ContainerKind kind, const std::string& workDir);

// A stream korvel reported, read back from its --report file, with its verdict when judged.
struct ReportedStream {
    RealStream stream;  // end 0 for a stream that filled the buffer
    std::string verdict;
};
std::vector<ReportedStream> readReport(const std::string& path);

}  // namespace korvel
