// The input file, mapped read-only once for the whole run and unmapped once at its end.
// Thread safety: opened and closed by one thread; the bytes may be read from any number of
// threads while it is open.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

class MappedInput {
public:
    enum class OpenResult {
        Opened,
        Empty,        // a regular file of no bytes: nothing to scan
        NotReadable,  // missing, not a regular file, unreadable, or not mappable
    };

    MappedInput() = default;
    ~MappedInput();
    MappedInput(const MappedInput&) = delete;
    MappedInput& operator=(const MappedInput&) = delete;

    // Maps `path`. Never blocks on a FIFO or a device: anything but a regular file is refused.
    OpenResult open(const char* path);

    // The first byte; one readable spare byte follows the last (the UCL decoders may read it).
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(base_); }
    std::uint64_t size() const { return size_; }

private:
    void* base_ = nullptr;     // reservation: the file's pages plus room for the spare byte
    std::size_t reserved_ = 0;
    std::uint64_t size_ = 0;
};

}  // namespace korvel
