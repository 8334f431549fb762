// --depth: the decoded bytes of every stream kept are scanned again, in memory, with the same
// formats and rules, level under level. A stream found inside another is passed on right after
// it (its parent's line, then its own streams depth-first, then the next stream of the level
// above), so that the order is the same for any number of threads.
// Thread safety: called by the scan's committing threads, one at a time;
// the scans inside run on the calling one.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <unordered_set>

#include "engine/result_sink.h"
#include "engine/scan_engine.h"
#include "output/report.h"
#include "output/saving.h"
#include "output/verdicts.h"

namespace korvel {

struct DescentSettings {
    unsigned depth = 0;  // levels of streams inside streams to scan; 0: none
    // The decoded bytes held for the scans inside at once, all levels together. A stream that
    // would pass it is kept, but not scanned inside; a line says so.
    std::uint64_t memoryLimit = std::uint64_t{1} << 30;
    ScanSettings scan;  // for the scans inside: formats, size rules, threads
    bool judged = false;
    JudgingSettings judging;
};

// What every level of one run shares: the settings, the bytes held, the contents scanned.
class Descent {
public:
    explicit Descent(const DescentSettings& settings);
    // A scan inside could not allocate its output buffer: the run ends as the scan's would.
    bool noBuffer() const { return noBuffer_; }

private:
    friend class DescendingSink;
    struct Digest {
        std::array<std::uint64_t, 2> halves;
        std::uint64_t size;
        bool operator==(const Digest&) const = default;
    };
    struct DigestHash {
        std::size_t operator()(const Digest& digest) const { return digest.halves[0]; }
    };
    Digest digestOf(std::span<const std::uint8_t> bytes) const;

    DescentSettings settings_;
    std::array<std::uint64_t, 2> key_;  // chosen at random per run: contents cannot be made to collide
    std::uint64_t held_ = 0;
    std::unordered_set<Digest, DigestHash> scanned_;  // equal bytes are scanned once
    bool noBuffer_ = false;
};

class DescendingSink : public ResultSink {
public:
    // Passes every stream on to `next` (the report, or the files), then scans inside it.
    // `files` and `report` (null without --report) are this level's: the sinks of the level
    // below are made from them. `level` is 0 for the streams of the input itself.
    DescendingSink(ResultSink& next, FileSink& files, ReportSink* report, Descent& descent, unsigned level);

    bool save(const FoundStream& stream) override;
    void exhausted(const FoundStream& stream) override { next_.exhausted(stream); }
    bool failed() const override { return next_.failed() || descent_.noBuffer(); }
    bool stopped() const override { return next_.stopped(); }

private:
    void scanInside(const FoundStream& stream);

    ResultSink& next_;
    FileSink& files_;
    ReportSink* report_;
    Descent& descent_;
    unsigned level_;
};

}  // namespace korvel
