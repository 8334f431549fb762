#include "engine/mapped_input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace korvel {

MappedInput::~MappedInput() {
    if (base_ != nullptr) munmap(base_, reserved_);
}

MappedInput::OpenResult MappedInput::open(const char* path) {
    if (base_ != nullptr) return OpenResult::Opened;
    // O_NONBLOCK: opening a FIFO or a device must never hang the run.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenResult::NotReadable;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return OpenResult::NotReadable;
    }
    if (info.st_size <= 0) {
        close(fd);
        return OpenResult::Empty;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    // One spare readable byte after the input. The anonymous reservation supplies it when the
    // size is a whole number of pages; otherwise the last page's zero fill does.
    const std::uint64_t reserved = (size + 1 + pageSize - 1) / pageSize * pageSize;
    void* base = reserved > SIZE_MAX ? MAP_FAILED
                                     : mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return OpenResult::NotReadable;
    }
    const bool mapped = mmap(base, size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
    close(fd);  // the mapping keeps the file
    if (!mapped) {
        munmap(base, reserved);
        return OpenResult::NotReadable;
    }
    madvise(base, size, MADV_SEQUENTIAL);
    base_ = base;
    reserved_ = reserved;
    size_ = size;
    return OpenResult::Opened;
}

}  // namespace korvel
