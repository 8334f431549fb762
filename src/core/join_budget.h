// One budget of memory for the join structures (the landmarks) of every dry run of every worker
// of a scan. With one budget per dry run, a scan on N threads took N times the memory of one,
// and a dry run whose input needed no landmarks kept its share idle. Each user is sure of an
// equal part of half the bytes (assured()); the other half is lent, first come first served,
// to the users that need more, and comes back as they drop what they hold. What a dry run is
// given changes only how fast it runs, never what it answers.
// Thread safety: users join before the scan starts; borrow() and giveBack() from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace korvel {

class JoinBudget {
public:
    explicit JoinBudget(std::size_t bytes) : bytes_(bytes) {}
    JoinBudget(const JoinBudget&) = delete;
    JoinBudget& operator=(const JoinBudget&) = delete;

    // Five dry runs a worker, some 12 MiB each at most: one worker is not held back by 64 MiB.
    // Past it, 32 MiB a worker: 8 workers sharing 64 MiB ran an adversarial file (1 MiB runs of
    // every byte value) 4 to 6 times as slowly, as the dry runs that came late were left with
    // their first landmarks; with 288 MiB they took 0.7 s, against 0.8 s with a budget of their
    // own each, and 250 MiB instead of 290.
    static constexpr std::size_t bytesFor(std::size_t workers) {
        return (std::size_t{64} << 20) + (std::max<std::size_t>(workers, 1) - 1) * (std::size_t{32} << 20);
    }

    void join() { users_.fetch_add(1, std::memory_order_relaxed); }
    // What every user may hold without borrowing.
    std::size_t assured() const {
        return bytes_ / 2 / std::max<std::size_t>(users_.load(std::memory_order_relaxed), 1);
    }
    // Takes `bytes` more than the assured part; false when the lent half has no room for them.
    bool borrow(std::size_t bytes) {
        std::size_t lent = lent_.load(std::memory_order_relaxed);
        do {
            if (lent + bytes > lendable()) return false;
        } while (!lent_.compare_exchange_weak(lent, lent + bytes, std::memory_order_relaxed));
        return true;
    }
    void giveBack(std::size_t bytes) { lent_.fetch_sub(bytes, std::memory_order_relaxed); }
    std::size_t lent() const { return lent_.load(std::memory_order_relaxed); }
    std::size_t lendable() const { return bytes_ - bytes_ / 2; }

private:
    const std::size_t bytes_;
    std::atomic<std::size_t> users_{0};
    std::atomic<std::size_t> lent_{0};
};

}  // namespace korvel
