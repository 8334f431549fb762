#include "cli/scan.h"

#include <setjmp.h>
#include <signal.h>

#include <cstdint>

namespace {

sigjmp_buf inputChangedJump;

// A read of the mapping past the end of a file that shrank since it was opened raises SIGBUS.
// The decoders' frames hold only trivially destructible objects, so leaving them by a jump is
// safe; files already saved are closed and stay intact.
void onBusError(int, siginfo_t* info, void*) {
    const auto& scan = Unpacker::scanState;
    const auto* address = static_cast<const std::uint8_t*>(info->si_addr);
    const auto* mapping = static_cast<const std::uint8_t*>(scan.mappingHandle);
    if (mapping != nullptr && address >= mapping && address < mapping + scan.mappingLength)
        siglongjmp(inputChangedJump, 1);
    // Not ours: die of it as the signal's default would.
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

class BusErrorHandler {
public:
    BusErrorHandler() {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous_);
    }
    ~BusErrorHandler() { sigaction(SIGBUS, &previous_, nullptr); }
    BusErrorHandler(const BusErrorHandler&) = delete;
    BusErrorHandler& operator=(const BusErrorHandler&) = delete;

private:
    struct sigaction previous_ {};
};

bool scanOffsets(FormatState activeState) {
    auto& scan = Unpacker::scanState;
    const auto& options = Unpacker::runOptions;
    // The rows to try never change during the scan, and the stop count changes only when a file
    // is saved: both are settled outside the per-offset loop.
    Unpacker* active[unpackerTableRows];
    std::size_t activeCount = 0;
    for (auto& row : unpackerTable) {
        if (!row.unpacker) break;
        if (row.state == activeState) active[activeCount++] = row.unpacker.get();
    }
    if (options.stopEnabled && options.stopCount == 0) return true;

    for (scan.currentOffset = options.startOffset; scan.currentOffset < scan.inputSize; ++scan.currentOffset) {
        for (std::size_t i = 0; i < activeCount; ++i) {
            if (active[i]->tryUnpack() && active[i]->saveResult() && options.stopEnabled && options.stopCount == 0)
                return true;
        }
    }
    return true;
}

}  // namespace

bool runScan(FormatState activeState) {
    BusErrorHandler handler;
    if (sigsetjmp(inputChangedJump, 1) != 0) return false;
    return scanOffsets(activeState);
}
