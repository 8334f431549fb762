#include "cli/run.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/progress.h"
#include "engine/mapped_input.h"
#include "engine/scan_engine.h"
#include "output/descent.h"
#include "output/map.h"
#include "output/report.h"
#include "output/verdicts.h"

namespace korvel {

int runCommandLine(const CommandLine& commandLine, LineWriter& lines, FileSystem& fileSystem) {
    const auto start = std::chrono::steady_clock::now();
    const char* inputName = commandLine.inputName->c_str();
    const RunOptions& options = commandLine.options;

    MappedInput input;
    switch (input.open(inputName)) {
        case MappedInput::OpenResult::Opened:
            break;
        case MappedInput::OpenResult::Empty:
            return 0;  // nothing to scan
        case MappedInput::OpenResult::NotReadable:
            // A failure, not a scan that found nothing.
            printLine(lines, "Failed! Cannot open %s: it must be a readable, regular file\n", inputName);
            return 1;
    }

    ScanSettings settings;
    settings.formats = commandLine.activeFormats();
    settings.sizes = {options.skipSize, options.bufferCapacity};
    settings.startOffset = commandLine.startOffsetFor(input.size());
    settings.stopAfter = options.stopEnabled ? static_cast<std::uint32_t>(options.stopCount) : 0;
    settings.jobs = commandLine.jobs != 0 ? commandLine.jobs : defaultJobs();

    // Streams are scanned inside from their bytes, listed or not.
    const bool bytesNeeded = !commandLine.list || commandLine.depth != 0;
    settings.keepBytes = bytesNeeded;

    // The sinks, outermost first: the judge, the scans inside streams, --report, then the lines
    // and files.
    FileSink files(options.outPrefix, options.bufferCapacity, commandLine.list, lines, fileSystem);
    files.limitOutput(commandLine.maxOutput);
    ResultSink* sink = &files;
    std::optional<ReportSink> report;
    if (commandLine.reportPath) {
        report.emplace(files, *commandLine.reportPath, commandLine.formats);
        if (!report->open()) {
            printLine(lines, "Failed! Cannot write the report %s: %s\n", report->path().c_str(), std::strerror(errno));
            return 1;
        }
        sink = &*report;
    }
    JudgingSettings judging;
    judging.keep = commandLine.real ? JudgingSettings::Keep::RealAndPlausible : JudgingSettings::Keep::All;
    judging.outer = commandLine.outer;
    judging.needBytes = bytesNeeded;
    std::optional<Descent> descent;
    std::optional<DescendingSink> descending;
    if (commandLine.depth != 0) {
        // -stop counts the streams of every level: the file sink applies it to them all.
        files.stopAfter(settings.stopAfter);
        settings.stopAfter = 0;
        if (report) report->givePaths();
        DescentSettings inside;
        inside.depth = commandLine.depth;
        inside.memoryLimit = commandLine.depthMemory;
        inside.scan = settings;
        inside.scan.startOffset = 0;
        inside.scan.inputMayShrink = false;
        inside.judged = commandLine.judged();
        inside.judging = judging;
        if (inside.judged) {
            inside.scan.keepBytes = false;
            inside.scan.keepSurroundings = true;
        }
        sink = &descending.emplace(*sink, files, report ? &*report : nullptr, descent.emplace(inside), 0);
    }
    std::optional<MapSink> map;
    if (commandLine.mapPath) sink = &map.emplace(*sink, files, settings.formats, settings.startOffset, input.size());
    // Judged streams are held back until their families are known, found without their bytes,
    // and decoded again only when passed on to be saved: noise is never decoded for saving.
    std::optional<StreamDecoder> decoder;
    std::optional<JudgingSink> judge;
    if (commandLine.judged()) {
        decoder.emplace(input.data(), input.size(), settings);
        judging.stopAfter = settings.stopAfter;
        sink = &judge.emplace(*sink, *decoder, settings.formats, judging);
        settings.keepBytes = false;
        settings.keepSurroundings = true;
        settings.stopAfter = 0;  // the judge counts what it keeps
    }

    std::atomic<std::uint64_t> committed{settings.startOffset};
    settings.committedOffset = &committed;
    ScanOutcome outcome;
    {
        std::optional<ProgressReport> progress;
        if (commandLine.progress && settings.startOffset < input.size())
            progress.emplace(settings.startOffset, input.size(), committed, files);
        outcome = runScan(input.data(), input.size(), settings, *sink);
        if (judge && outcome.status != ScanOutcome::Status::NoBuffer) judge->finish();
    }
    // A scan inside a stream that could not allocate its buffer ends the run as the scan would.
    if (descent && descent->noBuffer()) outcome.status = ScanOutcome::Status::NoBuffer;
    if (judge) {
        // A stream passed on that could not be decoded again ends the run as the scan would.
        if (judge->failure() == JudgingSink::Failure::NoBuffer) {
            outcome.status = ScanOutcome::Status::NoBuffer;
        } else if (judge->failure() == JudgingSink::Failure::InputChanged &&
                   (outcome.status != ScanOutcome::Status::InputChanged || judge->failedOffset() < outcome.failedOffset)) {
            outcome = {ScanOutcome::Status::InputChanged, judge->failedOffset()};
        }
    }

    int status = files.writeFailed() || files.outputLimitReached() ? 1 : 0;
    switch (outcome.status) {
        case ScanOutcome::Status::Finished:
        case ScanOutcome::Status::Stopped:
        case ScanOutcome::Status::SinkFailed:
            break;
        case ScanOutcome::Status::NoBuffer:
            printLine(lines, "Failed! Cannot allocate the %d Mb output buffer\n",
                      static_cast<int>(options.bufferCapacity >> 20));
            status = 1;
            break;
        case ScanOutcome::Status::InputChanged: {
            const auto offset = static_cast<unsigned long long>(outcome.failedOffset);
            printLine(lines, "Failed! Input changed while scanning at: %llu (0x%llx)\n", offset, offset);
            status = 1;
            break;
        }
    }
    if (map && outcome.status != ScanOutcome::Status::NoBuffer) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!map->write(*commandLine.mapPath, commandLine.inputName->c_str(), *decoder, judge->counts(), elapsed)) {
            printLine(lines, "Failed! Cannot write the map %s: %s\n", commandLine.mapPath->c_str(), std::strerror(errno));
            status = 1;
        }
    }
    if (report && !report->finish(input.size(), judge ? &judge->counts() : nullptr)) {
        printLine(lines, "Failed! Cannot write the report %s: %s\n", report->path().c_str(), std::strerror(errno));
        status = 1;
    }
    // Lines that could not be printed are results lost: say so where it can still be seen.
    if (std::fflush(stdout) != 0 || files.failed()) {
        const int error = files.failed() ? files.outputError() : errno;
        std::fprintf(stderr, "korvel: cannot write to standard output (%s): results were lost\n", std::strerror(error));
        return 1;
    }
    return status;
}

}  // namespace korvel
