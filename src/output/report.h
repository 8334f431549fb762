// --report=FILE: one JSON object per printed line, then a summary, written to a temporary file
// that replaces FILE only once it is whole. Thread safety: called by the scan's committing
// threads, one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/result_sink.h"
#include "output/open_streams.h"
#include "output/saving.h"
#include "output/verdicts.h"

namespace korvel {

class ReportSink : public ResultSink {
public:
    // `formats`: every format the summary counts, by index.
    ReportSink(FileSink& files, std::string path, std::span<const FormatDescriptor> formats);
    // The report of the streams found inside the decoded bytes of the stream of `format` at
    // `offset` that `parent` reported last: the same file and summary, its entries with the path
    // from the input and the parent's entry. `files` is the file sink of those streams.
    ReportSink(ReportSink& parent, FileSink& files, const FormatDescriptor& format, std::uint64_t offset);
    ~ReportSink() override;  // removes the temporary file unless finish() put it in place
    ReportSink(const ReportSink&) = delete;
    ReportSink& operator=(const ReportSink&) = delete;

    // Creates the temporary file beside FILE. False, with errno set, when it cannot.
    bool open();

    bool save(const FoundStream& stream) override;
    void exhausted(const FoundStream& stream) override;
    bool failed() const override { return files_.failed(); }
    bool stopped() const override { return files_.stopped(); }

    // Writes the summary and puts the report in place. False, with errno set, when the report
    // could not be written whole; nothing then stands at FILE. `verdicts`, when the streams were
    // judged, counts every stream of each format by verdict (by format index), those left out
    // included.
    bool finish(std::uint64_t inputSize, const std::vector<VerdictCounts>* verdicts = nullptr);
    const std::string& path() const { return path_; }
    // Every entry gets "path" (the format and offset of each stream it lies inside, outermost
    // first; [] in the input itself) and "parent" (the number of the entry of the stream it lies
    // in, counting from 0; null in the input): for runs that scan inside streams.
    void givePaths() { shared_->paths = true; }

private:
    struct Counts {
        std::uint64_t saved = 0, listed = 0, exhausted = 0, writeFailed = 0, bytes = 0;
    };
    // What the report of the input and the reports of the streams inside share.
    struct Shared {
        std::FILE* out = nullptr;
        std::vector<Counts> counts;  // by format index
        std::uint64_t entries = 0;
        bool paths = false;
    };
    void write(const FoundStream& stream, const char* status, const std::string* file);

    FileSink& files_;
    std::string path_;
    std::span<const FormatDescriptor> formats_;
    std::string temporaryPath_;
    std::shared_ptr<Shared> shared_;
    bool ownsFile_;
    OpenStreams open_;
    std::string pathJson_ = "[]";  // the "path" of its entries
    std::string parentJson_ = "null";
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace korvel
