// Saving found streams: one folder per format, one file per stream, one line per file.
// Thread safety: one sink per scan, called from the scan's committing thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/result_sink.h"

// <prefix><format name>/<offset in eight or more upper-case hex digits>
std::string savedFilePath(const std::string& outPrefix, const FormatDescriptor& format, std::uint64_t offset);

// Writes `count` bytes to a new or truncated regular file at `path`. Never follows a planted
// link and never blocks on a planted FIFO. On any failure leaves no partial file behind.
bool writeResultFile(const std::string& path, const std::uint8_t* bytes, std::size_t count);

// Prints one line per result on standard output and, unless it only lists, saves the files.
class FileSink : public ResultSink {
public:
    // An empty prefix is "!Out". A listing sink prints the same lines but creates no folder and
    // writes no file.
    FileSink(std::string outPrefix, std::uint32_t bufferCapacity, bool listOnly = false);

    // Writes the file and prints "<format>: Succeeded uncompressing ...", or prints
    // "<format>: Failed! Cannot write <path>" and answers false.
    bool save(const FoundStream& stream) override;
    // Prints "<format>: Failed! Output buffer <n> Mb exhausted at: ...".
    void exhausted(const FoundStream& stream) override;
    // Standard output can no longer be written.
    bool failed() const override { return outputFailed_; }

    // Whether a file could not be written; the run then ends with status 1.
    bool writeFailed() const { return writeFailed_; }
    bool listOnly() const { return listOnly_; }
    const std::string& outPrefix() const { return outPrefix_; }
    // Streams saved or listed so far; may be read from another thread.
    std::uint64_t keptCount() const { return kept_.load(std::memory_order_relaxed); }
    // The error of the failed write to standard output.
    int outputError() const { return outputError_; }

private:
    void checkOutput();

    std::string outPrefix_;
    std::uint32_t bufferCapacity_;
    bool listOnly_;
    bool writeFailed_ = false;
    bool outputFailed_ = false;
    int outputError_ = 0;
    std::atomic<std::uint64_t> kept_{0};
};
