// Saving found streams: one folder per format, one file per stream, one line per file.
// Thread safety: one sink per scan, called from the scan's committing thread only.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/result_sink.h"

namespace korvel {

// <prefix><format name>/<offset in eight or more upper-case hex digits>
std::string savedFilePath(const std::string& outPrefix, const FormatDescriptor& format, std::uint64_t offset);

// Writes `count` bytes to a new or truncated regular file at `path`. Never follows a planted
// link and never blocks on a planted FIFO. On any failure leaves no partial file behind.
bool writeResultFile(const std::string& path, const std::uint8_t* bytes, std::size_t count);

// Where a sink's lines go: standard output in a run, a string in tests.
class LineWriter {
public:
    virtual ~LineWriter() = default;
    // One whole line, with its newline.
    virtual void write(std::string_view line) = 0;
    // One line made as vprintf makes it: by default formatted, then written. A run prints a
    // line per stream, a million on some inputs, so standard output formats straight into its
    // own buffer instead.
    virtual void print(const char* format, std::va_list arguments);
    // Once a line could not be written: the error, for saying why; 0 before.
    virtual int error() const = 0;
};

// Where a sink's files go: the file system in a run, memory or a failing stand-in in tests.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Creates one folder level; a folder that exists already is fine, and so is a failure here
    // (the writes into it fail then).
    virtual void makeFolder(const std::string& path) = 0;
    // Writes a whole file, or leaves none: as writeResultFile.
    virtual bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes) = 0;
};

// Writes one line made as printf makes it; `format` ends with the newline.
void printLine(LineWriter& lines, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The process's standard output, and the real file system.
LineWriter& standardOutput();
FileSystem& localFiles();

// Prints one line per result and, unless it only lists, saves the files.
class FileSink : public ResultSink {
public:
    // An empty prefix is "!Out". A listing sink prints the same lines but creates no folder and
    // writes no file.
    FileSink(std::string outPrefix, std::uint32_t bufferCapacity, bool listOnly = false,
             LineWriter& lines = standardOutput(), FileSystem& files = localFiles());

    // Writes the file and prints "<format>: Succeeded uncompressing ...", or prints
    // "<format>: Failed! Cannot write <path>" and answers false.
    bool save(const FoundStream& stream) override;
    // Prints "<format>: Failed! Output buffer <n> Mb exhausted at: ...".
    void exhausted(const FoundStream& stream) override;
    // Its lines can no longer be written.
    bool failed() const override { return lines_.error() != 0; }
    // The output limit was reached: the scan ends.
    bool stopped() const override { return limitReached_; }

    // --max-output: the bytes its files may hold in all; 0, the default, is no limit. A stream
    // whose file would pass it is not written: the sink prints why and stops the scan, and the
    // files written stay whole.
    void limitOutput(std::uint64_t bytes) { outputLimit_ = bytes; }
    std::uint64_t outputLimit() const { return outputLimit_; }
    bool outputLimitReached() const { return limitReached_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }

    // Whether a file could not be written; the run then ends with status 1.
    bool writeFailed() const { return writeFailed_; }
    bool listOnly() const { return listOnly_; }
    const std::string& outPrefix() const { return outPrefix_; }
    // Streams saved or listed so far; may be read from another thread.
    std::uint64_t keptCount() const { return kept_.load(std::memory_order_relaxed); }
    // The error of the failed write of a line.
    int outputError() const { return lines_.error(); }

private:
    std::string outPrefix_;
    std::uint32_t bufferCapacity_;
    bool listOnly_;
    LineWriter& lines_;
    FileSystem& files_;
    bool writeFailed_ = false;
    std::atomic<std::uint64_t> kept_{0};
    std::uint64_t outputLimit_ = 0;
    std::uint64_t bytesWritten_ = 0;
    bool limitReached_ = false;
};

}  // namespace korvel
