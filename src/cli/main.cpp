// korvel: finds compressed streams at every offset of a file and extracts them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "engine/mapped_input.h"
#include "engine/scan_engine.h"
#include "unpack/saving.h"

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

    FileSink sink(options.outPrefix, options.bufferCapacity);
    const ScanOutcome outcome = runScan(input.data(), input.size(), settings, sink);
    switch (outcome.status) {
        case ScanOutcome::Status::Finished:
        case ScanOutcome::Status::Stopped:
            break;
        case ScanOutcome::Status::NoBuffer:
            std::printf("Failed! Cannot allocate the %d Mb output buffer\n", static_cast<int>(options.bufferCapacity >> 20));
            return 1;
        case ScanOutcome::Status::InputChanged: {
            const auto offset = static_cast<unsigned long long>(outcome.failedOffset);
            std::printf("Failed! Input changed while scanning at: %llu (0x%llx)\n", offset, offset);
            return 1;
        }
    }
    return sink.writeFailed() ? 1 : 0;
}
