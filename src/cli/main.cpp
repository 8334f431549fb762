// korvel: finds compressed streams at every offset of a file and extracts them.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "cli/command_line.h"
#include "cli/progress.h"
#include "engine/mapped_input.h"
#include "engine/scan_engine.h"
#include "output/report.h"
#include "output/saving.h"
#include "output/verdicts.h"

using namespace korvel;

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (!commandLine.error.empty()) {
        std::printf("%s\n", commandLine.error.c_str());
        return 2;
    }
    if (commandLine.help) {
        printUsage();
        printLongOptions();
        return 0;
    }
    if (commandLine.version) {
        printVersion();
        return 0;
    }
    if (!commandLine.inputName || access(commandLine.inputName->c_str(), F_OK) != 0) {
        printUsage();
        std::exit(-1);
    }
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
            std::printf("Failed! Cannot open %s: it must be a readable, regular file\n", inputName);
            return 1;
    }

    ScanSettings settings;
    settings.formats = commandLine.activeFormats();
    settings.sizes = {options.skipSize, options.bufferCapacity};
    settings.startOffset = commandLine.startOffsetFor(input.size());
    settings.stopAfter = options.stopEnabled ? static_cast<std::uint32_t>(options.stopCount) : 0;
    settings.jobs = commandLine.jobs != 0 ? commandLine.jobs : defaultJobs();

    settings.keepBytes = !commandLine.list;

    // The sinks, outermost first: the judge, --report, then the lines and files.
    FileSink files(options.outPrefix, options.bufferCapacity, commandLine.list);
    ResultSink* sink = &files;
    std::optional<ReportSink> report;
    if (commandLine.reportPath) {
        report.emplace(files, *commandLine.reportPath, formatTable());
        if (!report->open()) {
            std::printf("Failed! Cannot write the report %s: %s\n", report->path().c_str(), std::strerror(errno));
            return 1;
        }
        sink = &*report;
    }
    // Judged streams are held back until their families are known, found without their bytes,
    // and decoded again only when passed on to be saved: noise is never decoded for saving.
    std::optional<StreamDecoder> decoder;
    std::optional<JudgingSink> judge;
    if (commandLine.judged()) {
        decoder.emplace(input.data(), input.size(), settings);
        JudgingSettings judging;
        judging.keep = commandLine.real ? JudgingSettings::Keep::RealAndPlausible : JudgingSettings::Keep::All;
        judging.outer = commandLine.outer;
        judging.needBytes = !commandLine.list;
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
    if (judge) {
        // A stream passed on that could not be decoded again ends the run as the scan would.
        if (judge->failure() == JudgingSink::Failure::NoBuffer) {
            outcome.status = ScanOutcome::Status::NoBuffer;
        } else if (judge->failure() == JudgingSink::Failure::InputChanged &&
                   (outcome.status != ScanOutcome::Status::InputChanged || judge->failedOffset() < outcome.failedOffset)) {
            outcome = {ScanOutcome::Status::InputChanged, judge->failedOffset()};
        }
    }

    int status = files.writeFailed() ? 1 : 0;
    switch (outcome.status) {
        case ScanOutcome::Status::Finished:
        case ScanOutcome::Status::Stopped:
        case ScanOutcome::Status::SinkFailed:
            break;
        case ScanOutcome::Status::NoBuffer:
            std::printf("Failed! Cannot allocate the %d Mb output buffer\n", static_cast<int>(options.bufferCapacity >> 20));
            status = 1;
            break;
        case ScanOutcome::Status::InputChanged: {
            const auto offset = static_cast<unsigned long long>(outcome.failedOffset);
            std::printf("Failed! Input changed while scanning at: %llu (0x%llx)\n", offset, offset);
            status = 1;
            break;
        }
    }
    if (report && !report->finish(input.size(), judge ? &judge->counts() : nullptr)) {
        std::printf("Failed! Cannot write the report %s: %s\n", report->path().c_str(), std::strerror(errno));
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
