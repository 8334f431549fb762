// What the rest of the system knows of a format: its names, how to make its unpacker, and the
// few facts the scan, the command line, the tests and the bench read from it.
// Thread safety: descriptors are constant; read from any thread.
#pragma once

#include <cstddef>
#include <memory>

namespace korvel {

class Unpacker;
struct ScanState;

struct FormatDescriptor {
    const char* name;        // display name in messages and reports
    const char* folder;      // the output folder's name after the prefix
    const char* switchName;  // command-line switch without its "-", compared ignoring case
    const char* usage;       // what the usage text says of the switch
    // A new unpacker for one worker, bound to that worker's scan state.
    std::unique_ptr<Unpacker> (*makeUnpacker)(ScanState& scan);
    // The decoder may write one byte past the buffer's capacity (found streams are then
    // reported as exhausting it).
    bool writesSpareByte;
    std::size_t index;  // its row in the format table
};

}  // namespace korvel
