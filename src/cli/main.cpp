// korvel: finds compressed streams at every offset of a file and extracts them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/run.h"

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
    return runCommandLine(commandLine);
}
