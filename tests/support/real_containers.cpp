#include "real_containers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>

#include "test_support.h"

extern char** environ;

namespace korvel {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t fixedTime = 1700000000;  // 2023-11-14, every file's and folder's time
const std::string fixedTimeText = std::to_string(fixedTime);

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// ---------------------------------------------------------------------------------------------
// The content tree

void putLe(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Parts-inventory records of 32 bytes: id, time stamp, kind, flags, quantity, padded name.
Bytes inventoryRecords(std::size_t count, std::uint32_t seed) {
    static const char* const names[] = {"bolt", "washer", "bracket", "spring", "gasket", "hinge", "valve", "sensor"};
    std::mt19937 generator(seed);
    Bytes out;
    std::uint32_t stamp = 1600000000;
    for (std::size_t i = 0; i < count; ++i) {
        stamp += generator() % 600;
        putLe(out, 1000 + i, 4);
        putLe(out, stamp, 4);
        putLe(out, generator() % 8, 2);
        putLe(out, generator() % 4 == 0 ? 0x8001 : 0x0001, 2);
        putLe(out, generator() % 5000, 4);
        char name[17] = {};
        std::snprintf(name, sizeof name, "%s-%03u", names[generator() % std::size(names)],
                      static_cast<unsigned>(generator() % 1000));
        out.insert(out.end(), name, name + 16);
    }
    return out;
}

// Samples of 32 bytes: eight slowly drifting 16-bit channels, a sequence number, a time stamp,
// a status word and a noisy reading.
Bytes sensorSamples(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    int channels[8] = {100, -2000, 3000, 0, 12000, -7, 450, 8000};
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        for (int& channel : channels) {
            channel += static_cast<int>(generator() % 9) - 4;
            putLe(out, static_cast<std::uint16_t>(channel), 2);
        }
        putLe(out, i, 4);
        putLe(out, fixedTime + i * 10, 4);
        putLe(out, generator() % 16 == 0 ? 3 : 0, 4);
        putLe(out, generator(), 4);
    }
    return out;
}

Bytes logLines(std::size_t count, std::uint32_t seed) {
    static const char* const levels[] = {"INFO ", "INFO ", "INFO ", "DEBUG", "WARN "};
    static const char* const events[] = {"block written", "page erased", "cache flushed", "checksum verified",
                                         "node merged", "journal committed"};
    std::mt19937 generator(seed);
    std::string text;
    std::uint32_t second = 0;
    while (text.size() < count) {
        second += generator() % 5;
        char line[160];
        std::snprintf(line, sizeof line, "2023-11-14 %02u:%02u:%02u %s %s at 0x%08x (%u bytes)\n",
                      22 + second / 3600 % 2, second / 60 % 60, second % 60, levels[generator() % std::size(levels)],
                      events[generator() % std::size(events)], static_cast<unsigned>(generator() % 0x400000 * 16),
                      static_cast<unsigned>(512 << generator() % 5));
        text += line;
    }
    text.resize(count);
    return Bytes(text.begin(), text.end());
}

struct ContentFile {
    std::string path;
    Bytes data;
    bool random;
};

// Sizes chosen so that containers split files into several blocks: squashfs 128 KiB blocks,
// lzop 256 KiB blocks, 4 KiB pages in UBIFS and JFFS2.
const std::vector<ContentFile>& contentFiles() {
    static const std::vector<ContentFile> files = {
        {"readme.txt", textBytes(300, 101), false},
        {"notes.txt", textBytes(2900, 102), false},
        {"chapter1.txt", textBytes(41000, 103), false},
        {"chapter2.txt", textBytes(150000, 104), false},
        {"records.bin", inventoryRecords(2000, 105), false},
        {"random.bin", randomBytes(48000, 106), true},
        {"zeros.bin", Bytes(65536, 0), false},
        {"sub/log.txt", logLines(20000, 107), false},
        {"sub/table.bin", sensorSamples(4000, 108), false},
        {"sub/small.txt", textBytes(700, 109), false},
        {"sub/chapter3.txt", textBytes(80000, 110), false},
    };
    return files;
}

void setFixedTime(const std::string& path) {
    fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(fixedTime))));
}

// ---------------------------------------------------------------------------------------------
// Running the tools

std::string findTool(const std::string& name) {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        for (std::size_t start = 0;;) {
            const std::size_t colon = list.find(':', start);
            folders.push_back(list.substr(start, colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    // mkfs.* live in sbin folders, often missing from an ordinary user's PATH.
    folders.insert(folders.end(), {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"});
    for (const auto& folder : folders) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        std::error_code ignored;
        if (fs::is_regular_file(candidate, ignored) && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

class Workshop {
public:
    Workshop(std::string scratch, std::map<std::string, std::string> tools)
        : scratch_(std::move(scratch)), tools_(std::move(tools)) {}

    std::string file(const std::string& name) const { return scratch_ + "/" + name; }

    // Runs tool `command[0]` in `folder`, its standard output going to `stdoutPath` (or
    // nowhere); throws with its messages unless it exits with status 0.
    void run(std::vector<std::string> command, const std::string& folder, const std::string& stdoutPath = "",
             const std::vector<std::string>& extraEnvironment = {}) const {
        const std::string tool = command.front();
        command.front() = tools_.at(tool);
        const std::string errors = file("tool-stderr");

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

        // Times and names in the containers must not depend on the machine's zone or locale;
        // SOURCE_DATE_EPOCH would clash with mksquashfs's own time options.
        std::vector<std::string> environment = {"TZ=UTC", "LC_ALL=C"};
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::string key = text.substr(0, text.find('=') + 1);
            const bool overridden = key == "SOURCE_DATE_EPOCH=" ||
                std::any_of(environment.begin(), environment.end(),
                            [&](const std::string& set) { return set.compare(0, key.size(), key) == 0; });
            if (!overridden) environment.push_back(text);
        }
        std::vector<char*> argv, envp;
        for (auto& arg : command) argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);

        pid_t pid = 0;
        const int spawnError = posix_spawn(&pid, command.front().c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawnError != 0) fail("cannot start " + tool + ": " + std::strerror(spawnError));
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) fail("waitpid failed for " + tool);
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            const Bytes message = readFile(errors);
            fail(tool + " failed (status " + std::to_string(status) + "): " + std::string(message.begin(), message.end()));
        }
    }

    // A ustar archive whose bytes depend only on the files: names sorted, owners and times fixed.
    void tar(const std::string& archive, const std::string& folder, const std::string& member) const {
        run({"tar", "--sort=name", "--mtime=@" + fixedTimeText, "--owner=0", "--group=0", "--numeric-owner",
             "--format=ustar", "-cf", archive, member},
            folder);
    }

private:
    std::string scratch_;
    std::map<std::string, std::string> tools_;
};

// ---------------------------------------------------------------------------------------------
// Reading structures

void need(const Bytes& image, std::uint64_t at, std::uint64_t length, const char* what) {
    if (at > image.size() || length > image.size() - at)
        fail(std::string(what) + " at " + hex(at) + " runs past the end of the container");
}

std::uint64_t le(const Bytes& image, std::uint64_t at, int width) {
    need(image, at, width, "a field");
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | image[at + i];
    return value;
}

std::uint64_t be(const Bytes& image, std::uint64_t at, int width) {
    need(image, at, width, "a field");
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | image[at + i];
    return value;
}

std::uint64_t roundUp(std::uint64_t value, std::uint64_t unit) { return (value + unit - 1) / unit * unit; }

RealStream deflateStream(std::uint64_t offset, std::uint64_t end, std::uint64_t size) {
    return {"Deflate", offset, end, size};
}

RealStream lzoStream(std::uint64_t offset, std::uint64_t end, std::uint64_t size) { return {"LZO", offset, end, size}; }

// The raw deflate inside the zlib stream that fills [start, end).
RealStream zlibWrappedStream(const Bytes& image, std::uint64_t start, std::uint64_t end, std::uint64_t size) {
    need(image, start, end - start, "a zlib stream");
    const unsigned method = image[start], flags = image[start + 1];
    if ((method & 0x0F) != 8 || (method << 8 | flags) % 31 != 0) fail("no zlib header at " + hex(start));
    const std::uint64_t header = (flags & 0x20) ? 6 : 2;  // a preset dictionary's id follows
    if (end - start < header + 4) fail("zlib stream at " + hex(start) + " too short");
    return deflateStream(start + header, end - 4, size);
}

// Decodes the zlib stream that must fill [start, start + length) exactly, to read what the
// structure keeps inside it.
Bytes inflateWhole(const Bytes& image, std::uint64_t start, std::uint64_t length) {
    need(image, start, length, "a zlib stream");
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) fail("inflateInit failed");
    stream.next_in = const_cast<Bytef*>(image.data() + start);
    stream.avail_in = static_cast<uInt>(length);
    Bytes out;
    int status = Z_OK;
    while (status == Z_OK) {
        const std::size_t done = out.size();
        out.resize(done + 65536);
        stream.next_out = out.data() + done;
        stream.avail_out = 65536;
        status = inflate(&stream, Z_NO_FLUSH);
        out.resize(done + 65536 - stream.avail_out);
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) fail("the stream at " + hex(start) + " does not decode to its recorded end");
    return out;
}

Bytes lzoWhole(const Bytes& image, std::uint64_t start, std::uint64_t length, std::size_t limit) {
    need(image, start, length, "an LZO stream");
    static const bool ready = lzo_init() == LZO_E_OK;
    if (!ready) fail("lzo_init failed");
    Bytes out(limit);
    lzo_uint size = limit;
    if (lzo1x_decompress_safe(image.data() + start, length, out.data(), &size, nullptr) != LZO_E_OK)
        fail("the LZO stream at " + hex(start) + " does not decode to its recorded end");
    out.resize(size);
    return out;
}

// ---------------------------------------------------------------------------------------------
// lzop: a file header, then blocks of (uncompressed size, compressed size, checksums, data),
// ended by a block of uncompressed size 0. A block whose sizes are equal is stored as it is.

std::vector<RealStream> lzopStreams(const Bytes& image) {
    static const std::uint8_t magic[9] = {0x89, 'L', 'Z', 'O', 0x00, 0x0D, 0x0A, 0x1A, 0x0A};
    need(image, 0, sizeof magic, "the lzop header");
    if (!std::equal(magic, magic + sizeof magic, image.begin())) fail("no lzop magic");
    constexpr std::uint32_t adler32Data = 0x1, adler32Compressed = 0x2, extraField = 0x40, crc32Data = 0x100,
                            crc32Compressed = 0x200, filter = 0x800;
    std::uint64_t at = 9;
    const auto version = be(image, at, 2);
    at += 4;                           // version, library version
    if (version >= 0x0940) at += 2;    // version needed to extract
    const auto method = image.at(at++);
    if (version >= 0x0940) ++at;       // level
    const auto flags = be(image, at, 4);
    at += 4;
    if (flags & filter) at += 4;
    at += 8;                           // mode, mtime
    if (version >= 0x0940) at += 4;    // mtime, high part
    at += 1 + image.at(at) + 4;        // name, header checksum
    if (flags & extraField) at += 4 + be(image, at, 4) + 4;
    if (method < 1 || method > 3) fail("lzop method " + std::to_string(method) + " is not LZO1X");

    std::vector<RealStream> streams;
    for (;;) {
        const auto plainSize = be(image, at, 4);
        at += 4;
        if (plainSize == 0) break;
        const auto packedSize = be(image, at, 4);
        at += 4;
        if (flags & adler32Data) at += 4;
        if (flags & crc32Data) at += 4;
        if (packedSize < plainSize) {
            if (flags & adler32Compressed) at += 4;
            if (flags & crc32Compressed) at += 4;
        }
        need(image, at, packedSize, "an lzop block");
        if (packedSize < plainSize) streams.push_back(lzoStream(at, at + packedSize, plainSize));
        at += packedSize;
    }
    if (at != image.size()) fail("data after the lzop end marker");
    return streams;
}

// ---------------------------------------------------------------------------------------------
// UBIFS: logical erase blocks of nodes, each with a 24-byte common header; data nodes (type 1)
// hold one page each. They lie in the main area, after the superblock, the two master blocks
// and the log, LPT and orphan areas, whose sizes the superblock gives.

std::vector<RealStream> ubifsStreams(const Bytes& image) {
    constexpr std::uint32_t nodeMagic = 0x06101831;
    constexpr int dataNode = 1, padNode = 5, superblockNode = 6;
    constexpr std::uint8_t paddingByte = 0xCE;
    if (le(image, 0, 4) != nodeMagic || image.at(20) != superblockNode) fail("no UBIFS superblock node");
    const auto lebSize = le(image, 36, 4);
    const auto lebCount = le(image, 40, 4);
    const auto mainFirst = 3 + le(image, 56, 4) + le(image, 60, 4) + le(image, 64, 4);  // log, LPT, orphans
    if (lebSize == 0 || image.size() % lebSize != 0 || image.size() / lebSize > lebCount)
        fail("UBIFS image size does not match its erase blocks");

    std::vector<RealStream> streams;
    for (std::uint64_t leb = mainFirst; leb < image.size() / lebSize; ++leb) {
        const std::uint64_t limit = (leb + 1) * lebSize;
        std::uint64_t at = leb * lebSize;
        while (at + 24 <= limit) {
            if (le(image, at, 4) != nodeMagic) {
                if (image[at] == paddingByte) {
                    while (at < limit && image[at] == paddingByte) ++at;
                    at = roundUp(at, 8);
                    continue;
                }
                // Past the last node the erase block is empty.
                if (!std::all_of(image.begin() + at, image.begin() + limit, [](std::uint8_t b) { return b == 0xFF; }))
                    fail("neither a UBIFS node nor empty space at " + hex(at));
                break;
            }
            const auto length = le(image, at + 16, 4);
            const int type = image[at + 20];
            if (length < 24 || length > limit - at) fail("bad UBIFS node length at " + hex(at));
            if (type == padNode) {
                at = roundUp(at + length + le(image, at + 24, 4), 8);
                continue;
            }
            if (type == dataNode) {
                const auto plainSize = le(image, at + 40, 4);
                const auto compression = le(image, at + 44, 2);
                const std::uint64_t data = at + 48, end = at + length;
                // UBIFS's zlib compressor writes raw deflate, with no zlib wrapper.
                if (compression == 1) streams.push_back(lzoStream(data, end, plainSize));
                if (compression == 2) streams.push_back(deflateStream(data, end, plainSize));
            }
            at = roundUp(at + length, 8);
        }
    }
    return streams;
}

// ---------------------------------------------------------------------------------------------
// JFFS2: 4-byte aligned nodes (magic 0x1985, type, total length); inode nodes carry one page
// of a file, compressed as their compr field says. mkfs.jffs2 leaves 0xFF only at the end of an
// erase block, where the next node did not fit.

constexpr std::uint64_t jffs2EraseBlock = 65536;

std::vector<RealStream> jffs2Streams(const Bytes& image) {
    constexpr int inodeNode = 0xE002, inodeHeader = 68, zlibCompression = 6, lzoCompression = 7;
    std::vector<RealStream> streams;
    std::uint64_t at = 0;
    while (at + 12 <= image.size()) {
        const auto magic = le(image, at, 2);
        if (magic == 0xFFFF) {
            const std::uint64_t next = std::min<std::uint64_t>(roundUp(at + 1, jffs2EraseBlock), image.size());
            if (!std::all_of(image.begin() + at, image.begin() + next, [](std::uint8_t b) { return b == 0xFF; }))
                fail("neither a JFFS2 node nor empty space at " + hex(at));
            at = next;
            continue;
        }
        if (magic != 0x1985) fail("no JFFS2 node at " + hex(at));
        const auto type = le(image, at + 2, 2);
        const auto length = le(image, at + 4, 4);
        need(image, at, length, "a JFFS2 node");
        if (length < 12) fail("bad JFFS2 node length at " + hex(at));
        if (type == inodeNode) {
            const auto packedSize = le(image, at + 48, 4);
            const auto plainSize = le(image, at + 52, 4);
            const int compression = image.at(at + 56);
            const std::uint64_t data = at + inodeHeader;
            if (inodeHeader + packedSize != length) fail("JFFS2 inode node length disagrees at " + hex(at));
            if (compression == zlibCompression && packedSize > 0)
                streams.push_back(zlibWrappedStream(image, data, data + packedSize, plainSize));
            if (compression == lzoCompression && packedSize > 0)
                streams.push_back(lzoStream(data, data + packedSize, plainSize));
        }
        at = roundUp(at + length, 4);
    }
    return streams;
}

// ---------------------------------------------------------------------------------------------
// squashfs 4.0: data and fragment blocks found through the inode table's regular-file inodes
// and the fragment table, and every metadata block (a 2-byte header, bit 15 set when stored)
// of the inode, directory, fragment, export and id tables.

class SquashfsReader {
public:
    explicit SquashfsReader(const Bytes& image) : image_(image) {}

    std::vector<RealStream> streams() {
        if (le(image_, 0, 4) != 0x73717368 || le(image_, 28, 2) != 4) fail("no squashfs 4 superblock");
        const auto inodeCount = le(image_, 4, 4);
        blockSize_ = le(image_, 12, 4);
        const auto fragmentCount = le(image_, 16, 4);
        compression_ = static_cast<int>(le(image_, 20, 2));
        const auto idCount = le(image_, 26, 2);
        const auto idTable = le(image_, 48, 8), xattrTable = le(image_, 56, 8), inodeTable = le(image_, 64, 8),
                   directoryTable = le(image_, 72, 8), fragmentTable = le(image_, 80, 8),
                   exportTable = le(image_, 88, 8);
        constexpr std::uint64_t absent = ~std::uint64_t{0};
        if (compression_ != gzip && compression_ != lzo) fail("squashfs compressor " + std::to_string(compression_));
        if (xattrTable != absent) fail("squashfs image has extended attributes");

        const Bytes inodes = readTable(inodeTable, directoryTable);
        readInodes(inodes, inodeCount);

        const Bytes fragments = readIndexedTable(fragmentTable, fragmentCount * 16);
        for (std::uint64_t i = 0; i < fragmentCount; ++i) {
            const auto start = le(fragments, i * 16, 8);
            const auto sizeField = le(fragments, i * 16 + 8, 4);
            const auto used = fragmentUse_.find(i);
            if (used == fragmentUse_.end()) fail("squashfs fragment " + std::to_string(i) + " used by no file");
            if (!(sizeField & storedBlock)) record(start, sizeField & 0xFFFFFF, used->second);
        }

        // The directory table ends where the first of the later tables begins.
        std::uint64_t directoryEnd = le(image_, 40, 8);  // bytes used
        for (auto start : tableStarts_)
            if (start > directoryTable) directoryEnd = std::min(directoryEnd, start);
        for (auto start : {fragmentTable, exportTable, idTable})
            if (start != absent && start > directoryTable) directoryEnd = std::min(directoryEnd, start);
        readTable(directoryTable, directoryEnd);

        if (exportTable != absent) readIndexedTable(exportTable, inodeCount * 8);
        readIndexedTable(idTable, idCount * 4);

        std::vector<RealStream> list;
        for (const auto& [offset, stream] : streams_) list.push_back(stream);
        return list;
    }

private:
    static constexpr int gzip = 1, lzo = 3;
    static constexpr std::uint32_t storedBlock = 1u << 24;
    static constexpr std::uint64_t metadataSize = 8192;

    // Lists the block of `length` bytes at `at` decoding to `size` bytes.
    void record(std::uint64_t at, std::uint64_t length, std::uint64_t size) {
        const RealStream stream = compression_ == gzip ? zlibWrappedStream(image_, at, at + length, size)
                                                       : lzoStream(at, at + length, size);
        streams_.emplace(at, stream);
    }

    // The decoded metadata block at `at`; `next` is where the one after it begins.
    Bytes metadataBlock(std::uint64_t at, std::uint64_t& next) {
        const auto header = le(image_, at, 2);
        const std::uint64_t length = header & 0x7FFF, data = at + 2;
        next = data + length;
        if (header & 0x8000) {
            need(image_, data, length, "a squashfs metadata block");
            return Bytes(image_.begin() + data, image_.begin() + next);
        }
        const Bytes plain = compression_ == gzip ? inflateWhole(image_, data, length)
                                                 : lzoWhole(image_, data, length, metadataSize);
        if (plain.size() > metadataSize) fail("squashfs metadata block too large at " + hex(at));
        record(data, length, plain.size());
        return plain;
    }

    // A table of metadata blocks lying back to back over [start, end).
    Bytes readTable(std::uint64_t start, std::uint64_t end) {
        Bytes table;
        for (std::uint64_t at = start; at < end;) {
            const Bytes block = metadataBlock(at, at);
            table.insert(table.end(), block.begin(), block.end());
            if (at > end) fail("squashfs metadata block crosses its table's end at " + hex(end));
        }
        return table;
    }

    // A table of `bytes` bytes whose metadata blocks are listed by an index at `index`.
    Bytes readIndexedTable(std::uint64_t index, std::uint64_t bytes) {
        Bytes table;
        for (std::uint64_t i = 0; i < (bytes + metadataSize - 1) / metadataSize; ++i) {
            const auto at = le(image_, index + 8 * i, 8);
            tableStarts_.push_back(at);
            std::uint64_t next = 0;
            const Bytes block = metadataBlock(at, next);
            table.insert(table.end(), block.begin(), block.end());
        }
        if (table.size() < bytes) fail("squashfs table at " + hex(index) + " is short");
        return table;
    }

    void readInodes(const Bytes& inodes, std::uint64_t count) {
        constexpr std::uint64_t noFragment = 0xFFFFFFFF;
        std::uint64_t at = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            const auto type = le(inodes, at, 2);
            const std::uint64_t body = at + 16;
            switch (type) {
            case 1: at = body + 16; break;                                     // directory
            case 2:                                                            // regular file
            case 9: {                                                          // extended regular file
                const bool extended = type == 9;
                const auto firstBlock = le(inodes, body, extended ? 8 : 4);
                const auto fileSize = extended ? le(inodes, body + 8, 8) : le(inodes, body + 12, 4);
                const auto fragment = le(inodes, body + (extended ? 28 : 4), 4);
                const auto fragmentOffset = le(inodes, body + (extended ? 32 : 8), 4);
                const std::uint64_t listAt = body + (extended ? 40 : 16);
                const std::uint64_t blocks =
                    fragment == noFragment ? (fileSize + blockSize_ - 1) / blockSize_ : fileSize / blockSize_;
                std::uint64_t position = firstBlock;
                for (std::uint64_t block = 0; block < blocks; ++block) {
                    const auto sizeField = le(inodes, listAt + 4 * block, 4);
                    const std::uint64_t length = sizeField & 0xFFFFFF;
                    if (length == 0) continue;  // a sparse block of zeros, not stored
                    const auto plainSize = std::min<std::uint64_t>(blockSize_, fileSize - block * blockSize_);
                    if (!(sizeField & storedBlock)) record(position, length, plainSize);
                    position += length;
                }
                if (fragment != noFragment) {
                    auto& used = fragmentUse_[fragment];
                    used = std::max(used, fragmentOffset + fileSize - blocks * blockSize_);
                }
                at = listAt + 4 * blocks;
                break;
            }
            case 8: {                                                          // extended directory
                const auto indexCount = le(inodes, body + 16, 2);
                at = body + 24;
                for (std::uint64_t entry = 0; entry < indexCount; ++entry) at += 12 + le(inodes, at + 8, 4) + 1;
                break;
            }
            case 3: case 10: at = body + 8 + le(inodes, body + 4, 4) + (type == 10 ? 4 : 0); break;  // symlink
            case 4: case 5: at = body + 8; break;                              // devices
            case 11: case 12: at = body + 12; break;
            case 6: case 7: at = body + 4; break;                              // fifo, socket
            case 13: case 14: at = body + 8; break;
            default: fail("squashfs inode type " + std::to_string(type));
            }
        }
        if (at != inodes.size()) fail("squashfs inode table holds more than its inodes");
    }

    const Bytes& image_;
    std::uint64_t blockSize_ = 0;
    int compression_ = 0;
    std::map<std::uint64_t, RealStream> streams_;         // blocks shared by equal files count once
    std::map<std::uint64_t, std::uint64_t> fragmentUse_;  // fragment index -> bytes the files use
    std::vector<std::uint64_t> tableStarts_;
};

// ---------------------------------------------------------------------------------------------
// zip: the end-of-central-directory record, the central directory's entries, and each
// deflated member's local header, whose own name and extra lengths place the data.

std::vector<RealStream> zipStreams(const Bytes& image) {
    constexpr std::uint32_t endSignature = 0x06054b50, entrySignature = 0x02014b50, localSignature = 0x04034b50;
    std::uint64_t end = image.size();
    // The record is the last 22 bytes but for a comment of up to 65535 bytes.
    for (std::uint64_t back = 22; back <= std::min<std::uint64_t>(image.size(), 22 + 65535); ++back) {
        const std::uint64_t at = image.size() - back;
        if (le(image, at, 4) == endSignature && 22 + le(image, at + 20, 2) == back) {
            end = at;
            break;
        }
    }
    if (end == image.size()) fail("no zip end of central directory record");
    const auto count = le(image, end + 10, 2);
    std::uint64_t at = le(image, end + 16, 4);
    std::vector<RealStream> streams;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (le(image, at, 4) != entrySignature) fail("no zip central directory entry at " + hex(at));
        const auto method = le(image, at + 10, 2);
        const auto packedSize = le(image, at + 20, 4), plainSize = le(image, at + 24, 4);
        const auto local = le(image, at + 42, 4);
        if (method == 8) {
            if (le(image, local, 4) != localSignature) fail("no zip local header at " + hex(local));
            const std::uint64_t data = local + 30 + le(image, local + 26, 2) + le(image, local + 28, 2);
            need(image, data, packedSize, "a zip member");
            streams.push_back(deflateStream(data, data + packedSize, plainSize));
        }
        at += 46 + le(image, at + 28, 2) + le(image, at + 30, 2) + le(image, at + 32, 2);
    }
    std::sort(streams.begin(), streams.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    return streams;
}

// ---------------------------------------------------------------------------------------------
// gzip: members placed back to back by us, each a header (with optional extra field, name,
// comment and header CRC), raw deflate, and a trailer of CRC-32 and the size modulo 2^32.

RealStream gzipMemberStream(const Bytes& image, std::uint64_t start, std::uint64_t end) {
    constexpr unsigned headerCrc = 0x02, extra = 0x04, name = 0x08, comment = 0x10;
    need(image, start, end - start, "a gzip member");
    if (end - start < 18 || image[start] != 0x1F || image[start + 1] != 0x8B || image[start + 2] != 8)
        fail("no gzip member at " + hex(start));
    const unsigned flags = image[start + 3];
    std::uint64_t at = start + 10;
    if (flags & extra) at += 2 + le(image, at, 2);
    for (unsigned text : {name, comment}) {
        if (!(flags & text)) continue;
        while (image.at(at) != 0) ++at;
        ++at;
    }
    if (flags & headerCrc) at += 2;
    if (at + 8 > end) fail("gzip member header runs past its end at " + hex(start));
    return deflateStream(at, end - 8, le(image, end - 4, 4));
}

// ---------------------------------------------------------------------------------------------
// A ustar archive of .git/objects: every regular file objects/xx/<38 hex digits> is one loose
// object, a zlib stream of "<type> <size>\0" and the object's bytes.

std::vector<RealStream> gitObjectStreams(const Bytes& image) {
    std::vector<RealStream> streams;
    std::uint64_t at = 0;
    while (at + 512 <= image.size()) {
        if (std::all_of(image.begin() + at, image.begin() + at + 512, [](std::uint8_t b) { return b == 0; })) break;
        const auto field = [&](std::uint64_t offset, std::size_t width) {
            const char* start = reinterpret_cast<const char*>(image.data() + at + offset);
            return std::string(start, strnlen(start, width));
        };
        if (field(257, 5) != "ustar") fail("no ustar header at " + hex(at));
        const std::string prefix = field(345, 155), name = field(0, 100);
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        const std::uint64_t size = std::stoull(field(124, 12), nullptr, 8);
        const char type = static_cast<char>(image[at + 156]);
        const std::uint64_t data = at + 512;
        need(image, data, size, "a tar member");
        const bool looseObject = (type == '0' || type == 0) && path.size() == 8 + 2 + 1 + 38 &&
                                 path.compare(0, 8, "objects/") == 0 && path[10] == '/';
        if (looseObject) {
            const Bytes object = inflateWhole(image, data, size);
            const auto space = std::find(object.begin(), object.end(), ' ');
            const auto nul = std::find(object.begin(), object.end(), 0);
            if (space == object.end() || nul == object.end() || space > nul) fail("bad git object header in " + path);
            const auto headerSize = static_cast<std::uint64_t>(nul - object.begin()) + 1;
            if (std::stoull(std::string(space + 1, nul)) + headerSize != object.size())
                fail("git object " + path + " disagrees with its header");
            streams.push_back(zlibWrappedStream(image, data, data + size, object.size()));
        }
        at = data + roundUp(size, 512);
    }
    return streams;
}

// ---------------------------------------------------------------------------------------------
// PNG files placed back to back: each an 8-byte signature and chunks of (length, type, data,
// CRC-32 of type and data) up to IEND. The image data is one zlib stream cut across the IDAT
// chunks, so it lies whole in the file only when there is a single IDAT; zTXt and iCCP chunks
// each hold a whole zlib stream after a keyword, its NUL and a method byte.

// The decoded image data of a non-interlaced image: each row a filter byte and its samples.
std::uint64_t pngImageDataSize(const Bytes& image, std::uint64_t header) {
    const auto width = be(image, header, 4), height = be(image, header + 4, 4);
    const unsigned depth = image.at(header + 8), colourType = image.at(header + 9);
    if (image.at(header + 12) != 0) fail("interlaced PNG at " + hex(header));
    static const std::map<unsigned, unsigned> channelsOfColourType = {{0, 1}, {2, 3}, {3, 1}, {4, 2}, {6, 4}};
    const auto channels = channelsOfColourType.find(colourType);
    if (channels == channelsOfColourType.end() || (depth & (depth - 1)) != 0 || depth > 16)
        fail("bad PNG header at " + hex(header));
    return height * (1 + (width * channels->second * depth + 7) / 8);
}

std::vector<RealStream> pngStreams(const Bytes& image) {
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<RealStream> streams;
    std::uint64_t at = 0;
    while (at < image.size()) {
        need(image, at, sizeof signature, "a PNG signature");
        if (!std::equal(signature, signature + sizeof signature, image.begin() + at)) fail("no PNG at " + hex(at));
        at += sizeof signature;
        std::uint64_t imageDataSize = 0, firstIdat = 0, idatLength = 0;
        unsigned idatCount = 0;
        for (std::string type; type != "IEND";) {
            const auto length = be(image, at, 4);
            need(image, at + 4, length + 8, "a PNG chunk");
            type.assign(image.begin() + at + 4, image.begin() + at + 8);
            const std::uint64_t data = at + 8, end = data + length;
            if (crc32(0, image.data() + at + 4, static_cast<uInt>(length + 4)) != be(image, end, 4))
                fail("bad CRC in the PNG chunk at " + hex(at));
            if (type == "IHDR") imageDataSize = pngImageDataSize(image, data);
            if (type == "IDAT" && idatCount++ == 0) {
                firstIdat = data;
                idatLength = length;
            }
            if (type == "zTXt" || type == "iCCP") {
                const auto nul = std::find(image.begin() + data, image.begin() + end, 0);
                const std::uint64_t packed = static_cast<std::uint64_t>(nul - image.begin()) + 2;
                if (packed > end || image[packed - 1] != 0) fail("bad " + type + " chunk at " + hex(at));
                const Bytes text = inflateWhole(image, packed, end - packed);
                streams.push_back(zlibWrappedStream(image, packed, end, text.size()));
            }
            at = end + 4;
        }
        if (idatCount == 0) fail("a PNG without image data ending at " + hex(at));
        if (idatCount == 1) streams.push_back(zlibWrappedStream(image, firstIdat, firstIdat + idatLength, imageDataSize));
    }
    return streams;
}

// ---------------------------------------------------------------------------------------------
// The images of a game's resource file, handed to pnmtopng as Netpbm files

struct PnmImage {
    std::string name;
    char magic;  // '4' bitmap, '5' grey, '6' colour
    unsigned width, height, maxValue;
    Bytes raster;  // as the Netpbm file holds it
    std::string compressedText;  // a zTXt entry for pnmtopng, or none
};

std::uint64_t pnmRowBytes(const PnmImage& image) {
    if (image.magic == '4') return (image.width + 7) / 8;
    return image.width * (image.magic == '6' ? 3 : 1) * (image.maxValue > 255 ? 2 : 1);
}

template <typename Pixel>  // (x, y) -> its samples
PnmImage pnmImage(std::string name, char magic, unsigned width, unsigned height, unsigned maxValue, Pixel pixel) {
    PnmImage image{std::move(name), magic, width, height, maxValue, {}, ""};
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)
            for (unsigned sample : pixel(x, y)) {
                if (maxValue > 255) image.raster.push_back(static_cast<std::uint8_t>(sample >> 8));
                image.raster.push_back(static_cast<std::uint8_t>(sample));
            }
    return image;
}

// Lines of words in 5x7 glyphs, black on white: a font sheet or a page of a game's manual.
PnmImage glyphPage(unsigned width, unsigned height, std::uint32_t seed) {
    constexpr unsigned cellWidth = 6, lineHeight = 10;
    std::mt19937 generator(seed);
    std::vector<std::uint64_t> glyphs(40);  // 35 bits each, row by row
    for (auto& glyph : glyphs)
        for (int bit = 0; bit < 35; ++bit) glyph |= std::uint64_t{generator() % 5 < 2} << bit;
    std::vector<std::vector<bool>> ink(height, std::vector<bool>(width));
    for (unsigned line = 0; line * lineHeight + 7 <= height; ++line) {
        unsigned wordLeft = 0;
        for (unsigned cell = 0; (cell + 1) * cellWidth <= width; ++cell) {
            if (wordLeft == 0) {
                wordLeft = 2 + generator() % 7;
                continue;  // a space
            }
            --wordLeft;
            const std::uint64_t glyph = glyphs[generator() % glyphs.size()];
            for (unsigned row = 0; row < 7; ++row)
                for (unsigned column = 0; column < 5; ++column)
                    ink[line * lineHeight + row][cell * cellWidth + column] = glyph >> (row * 5 + column) & 1;
        }
    }
    PnmImage image{"glyphs", '4', width, height, 1, {}, ""};
    for (const auto& row : ink)
        for (unsigned x = 0; x < width; x += 8) {
            std::uint8_t packed = 0;
            for (unsigned bit = 0; bit < 8; ++bit) packed |= (x + bit < width && row[x + bit]) << (7 - bit);
            image.raster.push_back(packed);
        }
    return image;
}

// Sizes and contents chosen so that pnmtopng writes truecolour, grey of 1, 8 and 16 bits and a
// palette of 2 bits, and so that all but "photo" compress to less than libpng's 8 KiB IDAT
// chunk. "photo" is noisy enough to need several.
const std::vector<PnmImage>& pngImages() {
    static const std::vector<PnmImage> images = [] {
        std::vector<PnmImage> list;
        list.push_back(pnmImage("sky", '6', 180, 120, 255, [](unsigned x, unsigned y) {
            return std::array<unsigned, 3>{x * 255 / 179, 40 + y * 200 / 119, 255 - (x + y) * 255 / 298};
        }));
        PnmImage page = glyphPage(233, 97, 201);
        const Bytes caption = textBytes(3000, 202);
        std::string flowing(caption.begin(), caption.end());
        std::replace(flowing.begin(), flowing.end(), '\n', ' ');
        // One zTXt chunk an entry: a short one, and one that must stay on a single line.
        page.compressedText = "Title Manual, page 1\nComment " + flowing + "\n";
        list.push_back(std::move(page));
        std::mt19937 generator(203);
        const auto noise = [&](unsigned range) { return static_cast<unsigned>(generator() % range); };
        list.push_back(pnmImage("noise", '6', 40, 30, 255, [&](unsigned, unsigned) {
            return std::array<unsigned, 3>{noise(256), noise(256), noise(256)};
        }));
        list.push_back(pnmImage("photo", '6', 160, 120, 255, [&](unsigned x, unsigned y) {
            const unsigned base = (x + y) * 255 / 278;
            return std::array<unsigned, 3>{base / 2 + noise(32), base / 3 + noise(32), 200 - base / 2 + noise(32)};
        }));
        list.push_back(pnmImage("depth", '5', 100, 80, 65535, [](unsigned x, unsigned y) {
            return std::array<unsigned, 1>{(x * x * 6 + y * 500) % 65536};
        }));
        static const std::array<unsigned, 3> tileColours[4] = {{34, 139, 34}, {160, 82, 45}, {70, 130, 180}, {238, 232, 170}};
        list.push_back(pnmImage("tiles", '6', 70, 50, 255, [&](unsigned x, unsigned y) {
            return tileColours[(x / 7 + y / 5 * 3 + noise(16) / 15) % 4];
        }));
        int height = 128;
        list.push_back(pnmImage("terrain", '5', 90, 70, 255, [&](unsigned, unsigned) {
            height = std::clamp(height + static_cast<int>(noise(7)) - 3, 0, 255);
            return std::array<unsigned, 1>{static_cast<unsigned>(height)};
        }));
        return list;
    }();
    return images;
}

// ---------------------------------------------------------------------------------------------
// The recipes

using Builder = std::function<std::vector<RealStream>(const Workshop&, const std::string& tree, const std::string& image)>;

struct Recipe {
    ContainerKind kind;
    const char* name;
    std::vector<std::string> tools;
    Builder build;
};

Builder lzop(const std::string& level) {
    return [level](const Workshop& shop, const std::string& tree, const std::string& image) {
        shop.tar(shop.file("tree.tar"), fs::path(tree).parent_path(), "tree");
        setFixedTime(shop.file("tree.tar"));  // lzop keeps it in its header
        shop.run({"lzop", level, "-f", "-o", image, shop.file("tree.tar")}, shop.file(""));
        return lzopStreams(readFile(image));
    };
}

Builder ubifs(const std::string& compressor) {
    return [compressor](const Workshop& shop, const std::string& tree, const std::string& image) {
        shop.run({"mkfs.ubifs", "-x", compressor, "-m", "2048", "-e", "129024", "-c", "40", "-U", "-r", tree, "-o", image},
                 tree);
        return ubifsStreams(readFile(image));
    };
}

Builder jffs2(std::vector<std::string> compressorOptions) {
    return [compressorOptions](const Workshop& shop, const std::string& tree, const std::string& image) {
        std::vector<std::string> command = {"mkfs.jffs2", "-l", "-U", "-e", std::to_string(jffs2EraseBlock)};
        command.insert(command.end(), compressorOptions.begin(), compressorOptions.end());
        command.insert(command.end(), {"-r", tree, "-o", image});
        shop.run(command, tree);
        return jffs2Streams(readFile(image));
    };
}

Builder squashfs(const std::string& compressor) {
    return [compressor](const Workshop& shop, const std::string& tree, const std::string& image) {
        shop.run({"mksquashfs", tree, image, "-comp", compressor, "-noappend", "-no-xattrs", "-all-root", "-mkfs-time",
                  fixedTimeText, "-all-time", fixedTimeText, "-processors", "2", "-quiet", "-no-progress"},
                 tree);
        return SquashfsReader(readFile(image)).streams();
    };
}

std::vector<RealStream> buildZip(const Workshop& shop, const std::string& tree, const std::string& image) {
    // Every name given, sorted, instead of -r: a folder's listing order depends on the machine.
    std::vector<std::string> command = {"zip", "-9", "-X", "-q", image, "sub/"};
    for (const auto& file : contentFiles()) command.push_back(file.path);
    std::sort(command.begin() + 5, command.end());
    shop.run(command, tree);
    return zipStreams(readFile(image));
}

std::vector<RealStream> buildGzip(const Workshop& shop, const std::string& tree, const std::string& image) {
    struct Member {
        const char* file;
        std::vector<std::string> options;
    };
    const Member members[] = {{"chapter1.txt", {"-9"}},   {"records.bin", {"-9"}}, {"random.bin", {"-9"}},
                              {"sub/log.txt", {"-1", "-n"}}, {"sub/table.bin", {"-9"}}, {"readme.txt", {"-9"}}};
    Bytes joined;
    std::vector<std::uint64_t> boundaries = {0};
    for (const auto& member : members) {
        std::vector<std::string> command = {"gzip", "-c"};
        command.insert(command.end(), member.options.begin(), member.options.end());
        command.push_back(member.file);
        shop.run(command, tree, shop.file("member.gz"));
        const Bytes packed = readFile(shop.file("member.gz"));
        joined.insert(joined.end(), packed.begin(), packed.end());
        boundaries.push_back(joined.size());
    }
    writeFile(image, joined);
    // A gzip file records no member boundaries, but we placed the members ourselves.
    const Bytes written = readFile(image);
    std::vector<RealStream> streams;
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i)
        streams.push_back(gzipMemberStream(written, boundaries[i], boundaries[i + 1]));
    return streams;
}

std::vector<RealStream> buildGitObjects(const Workshop& shop, const std::string& tree, const std::string& image) {
    // Fixed people and dates make the commit, and so every object name, the same on every run.
    const std::vector<std::string> identity = {
        "HOME=" + shop.file(""),          "GIT_CONFIG_NOSYSTEM=1",
        "GIT_CONFIG_GLOBAL=/dev/null",    "GIT_AUTHOR_NAME=Korvel Corpus",
        "GIT_AUTHOR_EMAIL=corpus@example.invalid", "GIT_AUTHOR_DATE=@" + fixedTimeText + " +0000",
        "GIT_COMMITTER_NAME=Korvel Corpus", "GIT_COMMITTER_EMAIL=corpus@example.invalid",
        "GIT_COMMITTER_DATE=@" + fixedTimeText + " +0000"};
    shop.run({"git", "-c", "init.defaultBranch=main", "init", "-q"}, tree, "", identity);
    shop.run({"git", "add", "."}, tree, "", identity);
    shop.run({"git", "commit", "-q", "-m", "Content tree"}, tree, "", identity);
    shop.tar(image, tree + "/.git", "objects");
    return gitObjectStreams(readFile(image));
}

std::vector<RealStream> buildPng(const Workshop& shop, const std::string&, const std::string& image) {
    Bytes joined;
    for (const auto& picture : pngImages()) {
        const std::string header = std::string("P") + picture.magic + "\n" + std::to_string(picture.width) + " " +
                                   std::to_string(picture.height) + "\n" +
                                   (picture.magic == '4' ? "" : std::to_string(picture.maxValue) + "\n");
        Bytes pnm(header.begin(), header.end());
        pnm.insert(pnm.end(), picture.raster.begin(), picture.raster.end());
        writeFile(shop.file(picture.name + ".pnm"), pnm);
        std::vector<std::string> command = {"pnmtopng"};
        if (!picture.compressedText.empty()) {
            const std::string& text = picture.compressedText;
            writeFile(shop.file(picture.name + ".txt"), Bytes(text.begin(), text.end()));
            command.push_back("-ztxt=" + shop.file(picture.name + ".txt"));
        }
        command.push_back(shop.file(picture.name + ".pnm"));
        shop.run(command, shop.file(""), shop.file(picture.name + ".png"));
        const Bytes png = readFile(shop.file(picture.name + ".png"));
        joined.insert(joined.end(), png.begin(), png.end());
    }
    writeFile(image, joined);
    return pngStreams(readFile(image));
}

const std::vector<Recipe>& recipes() {
    static const std::vector<Recipe> all = {
        {ContainerKind::Lzop9, "lzop-9", {"tar", "lzop"}, lzop("-9")},
        {ContainerKind::Lzop1, "lzop-1", {"tar", "lzop"}, lzop("-1")},
        {ContainerKind::UbifsLzo, "ubifs-lzo", {"mkfs.ubifs"}, ubifs("lzo")},
        {ContainerKind::UbifsZlib, "ubifs-zlib", {"mkfs.ubifs"}, ubifs("zlib")},
        {ContainerKind::Jffs2Zlib, "jffs2-zlib", {"mkfs.jffs2"}, jffs2({})},
        // LZO is built in but off by default; on, its priority (80) beats zlib's (60).
        {ContainerKind::Jffs2Lzo, "jffs2-lzo", {"mkfs.jffs2"}, jffs2({"-X", "lzo"})},
        {ContainerKind::SquashfsGzip, "squashfs-gzip", {"mksquashfs"}, squashfs("gzip")},
        {ContainerKind::SquashfsLzo, "squashfs-lzo", {"mksquashfs"}, squashfs("lzo")},
        {ContainerKind::Zip9, "zip-9", {"zip"}, buildZip},
        {ContainerKind::Gzip, "gzip", {"gzip"}, buildGzip},
        {ContainerKind::GitObjects, "git-objects", {"git", "tar"}, buildGitObjects},
        {ContainerKind::Png, "png", {"pnmtopng"}, buildPng},
    };
    return all;
}

const Recipe& recipeOf(ContainerKind kind) {
    for (const auto& recipe : recipes())
        if (recipe.kind == kind) return recipe;
    fail("unknown container kind");
}

}  // namespace

void writeContentTree(const std::string& dir) {
    fs::create_directories(dir + "/sub");
    for (const auto& file : contentFiles()) {
        const std::string path = dir + "/" + file.path;
        writeFile(path, file.data);
        fs::permissions(path, fs::perms(0644));
        setFixedTime(path);
    }
    // Folders last: writing their files changed their times.
    for (const std::string& folder : {dir + "/sub", dir}) {
        fs::permissions(folder, fs::perms(0755));
        setFixedTime(folder);
    }
}

std::uint64_t contentTreeBytes() {
    std::uint64_t total = 0;
    for (const auto& file : contentFiles()) total += file.data.size();
    return total;
}

std::uint64_t contentTreeCompressibleBytes() {
    std::uint64_t total = 0;
    for (const auto& file : contentFiles())
        if (!file.random) total += file.data.size();
    return total;
}

std::uint64_t pngImageRasterBytes() {
    std::uint64_t total = 0;
    for (const auto& image : pngImages()) total += image.height * pnmRowBytes(image);
    return total;
}

const std::vector<ContainerKind>& allContainerKinds() {
    static const std::vector<ContainerKind> kinds = [] {
        std::vector<ContainerKind> list;
        for (const auto& recipe : recipes()) list.push_back(recipe.kind);
        return list;
    }();
    return kinds;
}

std::string containerName(ContainerKind kind) { return recipeOf(kind).name; }

RealContainerBuild buildRealContainer(ContainerKind kind, const std::string& workDir) {
    const Recipe& recipe = recipeOf(kind);
    std::map<std::string, std::string> tools;
    for (const auto& tool : recipe.tools) {
        tools[tool] = findTool(tool);
        if (tools[tool].empty()) return {std::nullopt, tool};
    }
    const std::string scratch = fs::absolute(workDir + "/" + recipe.name + ".work").string();
    const std::string image = fs::absolute(workDir + "/" + recipe.name + ".img").string();
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    fs::remove(image);
    const Workshop shop(scratch, tools);
    const std::string tree = scratch + "/tree";
    writeContentTree(tree);
    RealContainer container{recipe.name, image, recipe.build(shop, tree, image)};
    fs::remove_all(scratch);
    std::sort(container.streams.begin(), container.streams.end(),
              [](const RealStream& a, const RealStream& b) { return a.offset < b.offset; });
    return {std::move(container), ""};
}

namespace {

// One value of a report line, without quotes: report lines are flat but for the evidence,
// which comes after every field read here.
std::string reportField(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("\"" + name + "\":");
    if (at == std::string::npos) return "";
    const std::size_t begin = at + name.size() + 3;
    std::string value = line.substr(begin, line.find_first_of(",}", begin) - begin);
    if (!value.empty() && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

std::vector<ReportedStream> readReport(const std::string& path) {
    std::ifstream report(path);
    std::vector<ReportedStream> streams;
    for (std::string line; std::getline(report, line);) {
        if (line.rfind("{\"summary\"", 0) == 0) continue;
        const std::string end = reportField(line, "end");
        streams.push_back({{reportField(line, "format"), std::stoull(reportField(line, "offset")),
                            end == "null" ? 0 : std::stoull(end), std::stoull(reportField(line, "size"))},
                           reportField(line, "verdict")});
    }
    return streams;
}

}  // namespace korvel
