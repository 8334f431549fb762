// One run of the program on a parsed command line: maps the input, assembles the sinks (the
// judge, --report, the lines and files), scans, and reports how it ended.
// Thread safety: one run at a time per process (the scan installs the process's SIGBUS handler).
#pragma once

#include "cli/command_line.h"
#include "output/saving.h"

namespace korvel {

// The run's exit status for a command line that names an existing input and asks for a scan
// (not --help, --version or an error): 0, or 1 when something failed. Its lines, messages
// included, go to `lines` and its files to `files`; --report writes to the file system.
int runCommandLine(const CommandLine& commandLine, LineWriter& lines = standardOutput(),
                   FileSystem& files = localFiles());

}  // namespace korvel
