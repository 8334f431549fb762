// Saving found streams: one folder per format, one file per stream, one line per file.
// Thread safety: one sink per scan, called by the scan's committing threads, one at a time.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
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

// Writes all `count` bytes to `fd`, through interrupted and short writes.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count);

// A new file beside `path`, named `temporaryPath` (path + ".tmp-" and six random characters),
// with the mode any new file of the user's gets: for a file written whole before it is renamed
// into place, so that a half-written one never stands at `path`. Its descriptor, or -1 with
// errno set.
int createTemporaryBeside(const std::string& path, std::string& temporaryPath);

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
    // The sink of the streams found inside the decoded bytes of `parent`'s stream of `format`
    // at `offset`: its files go to a folder beside that stream's file, its lines say where they
    // were found, and it shares the parent's counts and limits.
    FileSink(FileSink& parent, const FormatDescriptor& format, std::uint64_t offset);

    // Writes the file and prints "<format>: Succeeded uncompressing ...", or prints
    // "<format>: Failed! Cannot write <path>" and answers false.
    bool save(const FoundStream& stream) override;
    // Prints "<format>: Failed! Output buffer <n> Mb exhausted at: ...".
    void exhausted(const FoundStream& stream) override;
    // Its lines can no longer be written.
    bool failed() const override { return lines_.error() != 0; }
    // The output limit or the stop limit was reached: the scan ends.
    bool stopped() const override;

    // --max-output: the bytes its files may hold in all; 0, the default, is no limit. A stream
    // whose file would pass it is not written: the sink prints why and stops the scan, and the
    // files written stay whole.
    void limitOutput(std::uint64_t bytes) { totals_->outputLimit = bytes; }
    std::uint64_t outputLimit() const { return totals_->outputLimit; }
    bool outputLimitReached() const { return totals_->limitReached; }
    std::uint64_t bytesWritten() const { return totals_->bytesWritten; }
    // Stops the scan once this many streams were kept, by it and the sinks made from it (for
    // -stop over the streams inside streams too); 0, the default, never.
    void stopAfter(std::uint64_t kept) { totals_->stopAfter = kept; }

    // Whether a file could not be written; the run then ends with status 1.
    bool writeFailed() const { return totals_->writeFailed; }
    bool listOnly() const { return listOnly_; }
    const std::string& outPrefix() const { return outPrefix_; }
    // Streams saved or listed so far; may be read from another thread.
    std::uint64_t keptCount() const { return totals_->kept.load(std::memory_order_relaxed); }
    // The error of the failed write of a line.
    int outputError() const { return lines_.error(); }
    LineWriter& lines() const { return lines_; }
    // What its lines say after the offset of a stream: empty for the input's own streams.
    const std::string& where() const { return where_; }

private:
    // What a sink and the sinks made from it count together.
    struct Totals {
        std::atomic<std::uint64_t> kept{0};
        bool writeFailed = false;
        std::uint64_t outputLimit = 0;
        std::uint64_t bytesWritten = 0;
        bool limitReached = false;
        std::uint64_t stopAfter = 0;
    };

    std::string outPrefix_;
    std::uint32_t bufferCapacity_;
    bool listOnly_;
    LineWriter& lines_;
    FileSystem& files_;
    std::shared_ptr<Totals> totals_;
    std::string where_;
    std::string folder_;  // for a sink made from another: its folder, made before its first file
    bool folderMade_ = false;
};

}  // namespace korvel
