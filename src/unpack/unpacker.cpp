#include "unpack/unpacker.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unpack/registry.h"

ScanState Unpacker::scanState;
RunOptions Unpacker::runOptions;
bool Unpacker::writeFailed = false;
// Defined after the shared state so that it is destroyed first.
UnpackerEntry unpackerTable[unpackerTableRows];

Unpacker::Unpacker(const char* displayName) {
    std::snprintf(name, sizeof name, "%s", displayName);
}

Unpacker::~Unpacker() { closeInput(); }

bool Unpacker::openInput(const char* fileName) {
    auto& scan = scanState;
    if (scan.fileHandle != -1) return true;

    // O_NONBLOCK: opening a FIFO or a device must never hang the run.
    const int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        close(fd);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    // One spare readable byte after the input: the UCL decoders may read one byte past their
    // source. The anonymous reservation supplies it when the size is a whole number of pages.
    const std::uint64_t reserved = (size + 1 + pageSize - 1) / pageSize * pageSize;
    if (reserved > SIZE_MAX) {
        close(fd);
        return false;
    }
    void* base = mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return false;
    }
    if (mmap(base, size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        munmap(base, reserved);
        close(fd);
        return false;
    }
    madvise(base, size, MADV_SEQUENTIAL);

    // calloc of a large block takes fresh zero pages: untouched pages cost no memory.
    auto* buffer = static_cast<std::uint8_t*>(std::calloc(std::size_t{runOptions.bufferCapacity} + 1, 1));
    if (buffer == nullptr) {
        munmap(base, reserved);
        close(fd);
        return false;
    }
    scan.fileHandle = fd;
    scan.mappingHandle = base;
    scan.mappingLength = reserved;
    scan.inputView = static_cast<const std::uint8_t*>(base);
    scan.inputSize = size;
    scan.outputBuffer = buffer;
    return true;
}

bool Unpacker::closeInput() {
    auto& scan = scanState;
    if (scan.fileHandle == -1) return true;
    munmap(scan.mappingHandle, scan.mappingLength);
    close(scan.fileHandle);
    std::free(scan.outputBuffer);
    scan.outputBuffer = nullptr;
    scan.mappingHandle = nullptr;
    scan.fileHandle = -1;
    return true;
}

namespace {

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the file; on any failure leaves no partial file behind.
bool writeResultFile(const std::string& path, const std::uint8_t* bytes, std::size_t count) {
    // O_NOFOLLOW: a planted link must not redirect the write out of the output folder.
    // O_NONBLOCK: a planted FIFO must not hang the run; it is refused below.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    const bool written = writeAll(fd, bytes, count);
    const bool closed = close(fd) == 0;
    if (written && closed) return true;
    unlink(path.c_str());
    return false;
}

}  // namespace

bool Unpacker::saveResult() {
    const auto& scan = scanState;
    auto& options = runOptions;
    const auto offset = static_cast<unsigned long long>(scan.currentOffset);
    if (scan.outputSize <= options.skipSize) return false;
    if (scan.outputSize >= options.bufferCapacity) {
        std::printf("%s: Failed! Output buffer %d Mb exhausted at: %llu (0x%llx)\n", name,
                    static_cast<int>(options.bufferCapacity >> 20), offset, offset);
        return false;
    }
    if (options.outPrefix.empty()) options.outPrefix = "!Out";

    const std::string directory = options.outPrefix + name;
    mkdir(directory.c_str(), 0777);  // exists already after the first save of each format
    char fileName[24];
    std::snprintf(fileName, sizeof fileName, "/%08llX", offset);
    const std::string path = directory + fileName;

    if (!writeResultFile(path, scan.outputBuffer, scan.outputSize)) {
        std::printf("%s: Failed! Cannot write %s\n", name, path.c_str());
        writeFailed = true;
        return false;
    }
    std::printf("%s: Succeeded uncompressing %lu bytes at: %llu (0x%llx)\n", name,
                static_cast<unsigned long>(scan.outputSize), offset, offset);
    if (options.stopEnabled && options.stopCount != 0)  // wraps: a negative count never reaches 0
        options.stopCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(options.stopCount) - 1);
    return true;
}
