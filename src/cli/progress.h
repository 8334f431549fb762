// --progress: how far the scan has come, on standard error, from a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "output/saving.h"

namespace korvel {

class ProgressReport {
public:
    // Reports on the scan of [begin, end) while it lasts: rewritten in place a few times a
    // second on a terminal, a plain line every ten seconds otherwise.
    ProgressReport(std::uint64_t begin, std::uint64_t end, const std::atomic<std::uint64_t>& committed,
                   const FileSink& sink);
    // Prints the last line and stops.
    ~ProgressReport();
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;

private:
    void run();
    void print(bool last);

    const std::uint64_t begin_, end_;
    const std::atomic<std::uint64_t>& committed_;
    const FileSink& sink_;
    const bool terminal_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace korvel
