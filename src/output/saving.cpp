#include "output/saving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace korvel {

std::string savedFilePath(const std::string& outPrefix, const FormatDescriptor& format, std::uint64_t offset) {
    char fileName[24];
    std::snprintf(fileName, sizeof fileName, "/%08llX", static_cast<unsigned long long>(offset));
    return outPrefix + format.folder + fileName;
}

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

int createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
    temporaryPath = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temporaryPath.data());
    if (fd < 0) return -1;
    // mkstemp makes the file private.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

namespace {

class StandardOutput final : public LineWriter {
public:
    void write(std::string_view line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        noteError();
    }
    void print(const char* format, std::va_list arguments) override {
        std::vfprintf(stdout, format, arguments);
        noteError();
    }
    int error() const override { return error_; }

private:
    // A line that cannot be written is lost; the run must not go on as if it had been.
    void noteError() {
        if (error_ == 0 && std::ferror(stdout)) error_ = errno != 0 ? errno : EIO;
    }
    int error_ = 0;
};

class LocalFiles final : public FileSystem {
public:
    void makeFolder(const std::string& path) override { mkdir(path.c_str(), 0777); }
    bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes) override {
        return writeResultFile(path, bytes.data(), bytes.size());
    }
};

}  // namespace

LineWriter& standardOutput() {
    static StandardOutput output;
    return output;
}

FileSystem& localFiles() {
    static LocalFiles files;
    return files;
}

FileSink::FileSink(std::string outPrefix, std::uint32_t bufferCapacity, bool listOnly, LineWriter& lines,
                   FileSystem& files)
    : outPrefix_(outPrefix.empty() ? "!Out" : std::move(outPrefix)),
      bufferCapacity_(bufferCapacity),
      listOnly_(listOnly),
      lines_(lines),
      files_(files),
      totals_(std::make_shared<Totals>()) {}

// The folder is the parent's file name with ".d"; inside it, folders named as at the top, with
// what the prefix holds after its last '/'.
FileSink::FileSink(FileSink& parent, const FormatDescriptor& format, std::uint64_t offset)
    : bufferCapacity_(parent.bufferCapacity_),
      listOnly_(parent.listOnly_),
      lines_(parent.lines_),
      files_(parent.files_),
      totals_(parent.totals_),
      folder_(savedFilePath(parent.outPrefix_, format, offset) + ".d") {
    const std::size_t slash = parent.outPrefix_.rfind('/');
    outPrefix_ = folder_ + "/" + (slash == std::string::npos ? parent.outPrefix_ : parent.outPrefix_.substr(slash + 1));
    char at[64];
    std::snprintf(at, sizeof at, " at: %llu (0x%llx)", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset));
    where_ = std::string(" in ") + format.name + at + parent.where_;
}

bool FileSink::stopped() const {
    return totals_->limitReached || (totals_->stopAfter != 0 && keptCount() >= totals_->stopAfter);
}

void LineWriter::print(const char* format, std::va_list arguments) {
    std::va_list again;
    va_copy(again, arguments);
    char line[512];
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
        write({line, static_cast<std::size_t>(length)});
    } else {
        // Only a path of hundreds of bytes makes a longer line.
        std::string longer(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
        std::vsnprintf(longer.data(), longer.size(), format, again);
        longer.pop_back();
        write(longer);
    }
    va_end(again);
}

void printLine(LineWriter& lines, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    lines.print(format, arguments);
    va_end(arguments);
}

bool FileSink::save(const FoundStream& stream) {
    const auto offset = static_cast<unsigned long long>(stream.offset);
    const char* const where = where_.c_str();
    Totals& totals = *totals_;
    if (!listOnly_) {
        if (totals.outputLimit != 0 && stream.bytes.size() > totals.outputLimit - totals.bytesWritten) {
            printLine(lines_,
                      "%s: Failed! Output limit of %llu bytes reached at: %llu (0x%llx)%s: %lu bytes not written, "
                      "the scan stopped (raise --max-output to go on)\n",
                      stream.format->name, static_cast<unsigned long long>(totals.outputLimit), offset, offset, where,
                      static_cast<unsigned long>(stream.bytes.size()));
            totals.limitReached = true;
            return false;
        }
        if (!folder_.empty() && !folderMade_) {
            files_.makeFolder(folder_);
            folderMade_ = true;
        }
        files_.makeFolder(outPrefix_ + stream.format->folder);  // exists already after the format's first save
        const std::string path = savedFilePath(outPrefix_, *stream.format, stream.offset);
        if (!files_.writeFile(path, stream.bytes)) {
            printLine(lines_, "%s: Failed! Cannot write %s\n", stream.format->name, path.c_str());
            totals.writeFailed = true;
            return false;
        }
        totals.bytesWritten += stream.bytes.size();
    }
    printLine(lines_, "%s: Succeeded uncompressing %lu bytes at: %llu (0x%llx)%s\n", stream.format->name,
              static_cast<unsigned long>(stream.size), offset, offset, where);
    totals.kept.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void FileSink::exhausted(const FoundStream& stream) {
    const auto offset = static_cast<unsigned long long>(stream.offset);
    printLine(lines_, "%s: Failed! Output buffer %d Mb exhausted at: %llu (0x%llx)%s\n", stream.format->name,
              static_cast<int>(bufferCapacity_ >> 20), offset, offset, where_.c_str());
}

}  // namespace korvel
