// korvel: finds compressed streams at every offset of a file and extracts them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/scan.h"

int main(int argc, char** argv) {
    registerUnpackers();
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (!commandLine.inputName || access(commandLine.inputName->c_str(), F_OK) != 0) {
        printUsage();
        std::exit(-1);
    }
    for (auto& row : unpackerTable) {
        if (!row.unpacker) break;
        row.unpacker->openInput(commandLine.inputName->c_str());
    }
    if (Unpacker::scanState.fileHandle == -1) {
        // An empty file holds nothing to scan; anything else that cannot be read is a failure,
        // not a scan that found nothing.
        struct stat info {};
        if (stat(commandLine.inputName->c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
            return 0;
        std::printf("Failed! Cannot open %s: it must be a readable, regular file\n", commandLine.inputName->c_str());
        return 1;
    }
    if (!runScan(commandLine.activeState)) {
        const auto offset = static_cast<unsigned long long>(Unpacker::scanState.currentOffset);
        std::printf("Failed! Input changed while scanning at: %llu (0x%llx)\n", offset, offset);
        return 1;
    }
    return Unpacker::writeFailed ? 1 : 0;
}
