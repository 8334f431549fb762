// Saving found streams: one folder per format, one file per stream, one line per file.
// Thread safety: one sink per scan, called from the scan's committing thread only.
#pragma once

#include <cstdint>
#include <string>

#include "engine/result_sink.h"

// <prefix><format name>/<offset in eight or more upper-case hex digits>
std::string savedFilePath(const std::string& outPrefix, const FormatDescriptor& format, std::uint64_t offset);

// Writes `count` bytes to a new or truncated regular file at `path`. Never follows a planted
// link and never blocks on a planted FIFO. On any failure leaves no partial file behind.
bool writeResultFile(const std::string& path, const std::uint8_t* bytes, std::size_t count);

class FileSink : public ResultSink {
public:
    // An empty prefix is "!Out".
    FileSink(std::string outPrefix, std::uint32_t bufferCapacity);

    // Writes the file and prints "<format>: Succeeded uncompressing ...", or prints
    // "<format>: Failed! Cannot write <path>" and answers false.
    bool save(const FoundStream& stream) override;
    // Prints "<format>: Failed! Output buffer <n> Mb exhausted at: ...".
    void exhausted(const FoundStream& stream) override;

    // Whether a file could not be written; the run then ends with status 1.
    bool writeFailed() const { return writeFailed_; }
    const std::string& outPrefix() const { return outPrefix_; }

private:
    std::string outPrefix_;
    std::uint32_t bufferCapacity_;
    bool writeFailed_ = false;
};
