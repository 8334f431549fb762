#include "output/saving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

std::string savedFilePath(const std::string& outPrefix, const FormatDescriptor& format, std::uint64_t offset) {
    char fileName[24];
    std::snprintf(fileName, sizeof fileName, "/%08llX", static_cast<unsigned long long>(offset));
    return outPrefix + format.folder + fileName;
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

}  // namespace

bool writeResultFile(const std::string& path, const std::uint8_t* bytes, std::size_t count) {
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

FileSink::FileSink(std::string outPrefix, std::uint32_t bufferCapacity, bool listOnly)
    : outPrefix_(outPrefix.empty() ? "!Out" : std::move(outPrefix)), bufferCapacity_(bufferCapacity), listOnly_(listOnly) {}

bool FileSink::save(const FoundStream& stream) {
    const auto offset = static_cast<unsigned long long>(stream.offset);
    if (!listOnly_) {
        mkdir((outPrefix_ + stream.format->folder).c_str(), 0777);  // exists already after the format's first save
        const std::string path = savedFilePath(outPrefix_, *stream.format, stream.offset);
        if (!writeResultFile(path, stream.bytes.data(), stream.bytes.size())) {
            std::printf("%s: Failed! Cannot write %s\n", stream.format->name, path.c_str());
            writeFailed_ = true;
            checkOutput();
            return false;
        }
    }
    std::printf("%s: Succeeded uncompressing %lu bytes at: %llu (0x%llx)\n", stream.format->name,
                static_cast<unsigned long>(stream.size), offset, offset);
    kept_.fetch_add(1, std::memory_order_relaxed);
    checkOutput();
    return true;
}

void FileSink::exhausted(const FoundStream& stream) {
    const auto offset = static_cast<unsigned long long>(stream.offset);
    std::printf("%s: Failed! Output buffer %d Mb exhausted at: %llu (0x%llx)\n", stream.format->name,
                static_cast<int>(bufferCapacity_ >> 20), offset, offset);
    checkOutput();
}

// A line that cannot be written is lost; the run must not go on as if it had been.
void FileSink::checkOutput() {
    if (outputFailed_ || !std::ferror(stdout)) return;
    outputFailed_ = true;
    outputError_ = errno;
}
