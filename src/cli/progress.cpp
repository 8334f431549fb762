#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace korvel {

ProgressReport::ProgressReport(std::uint64_t begin, std::uint64_t end, const std::atomic<std::uint64_t>& committed,
                               const FileSink& sink)
    : begin_(begin), end_(end), committed_(committed), sink_(sink), terminal_(isatty(STDERR_FILENO) == 1) {
    thread_ = std::thread([this] { run(); });
}

ProgressReport::~ProgressReport() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    print(true);
}

void ProgressReport::run() {
    const auto interval = terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(10000);
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval, [this] { return stopping_; })) print(false);
}

void ProgressReport::print(bool last) {
    const std::uint64_t offset = std::max(committed_.load(std::memory_order_relaxed), begin_);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double done = static_cast<double>(offset - begin_);
    const double total = static_cast<double>(end_ - begin_);
    const double rate = seconds > 0 ? done / seconds : 0;  // bytes per second
    char left[32] = "--:--";
    if (rate > 0) {
        const auto remaining = static_cast<unsigned long long>((total - done) / rate);
        std::snprintf(left, sizeof left, "%llu:%02llu", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "%skorvel: offset %llu (0x%llx), %.1f%%, %.1f MB/s, %llu streams %s, %s left%s",
                 terminal_ ? "\r" : "", static_cast<unsigned long long>(offset), static_cast<unsigned long long>(offset),
                 total > 0 ? 100 * done / total : 100.0, rate / 1e6,
                 static_cast<unsigned long long>(sink_.keptCount()), sink_.listOnly() ? "listed" : "saved", left,
                 terminal_ && !last ? "   " : "\n");
    std::fflush(stderr);
}

}  // namespace korvel
