// The scan engine. Data flows input -> workers -> committer -> sink:
//
// - The input is one read-only mapping, shared by every worker.
// - The offsets are cut into chunks, which workers take in increasing order. A worker owns its
//   unpackers, their scan state and an output buffer, and tries every chosen format at every
//   offset of its chunk. What it must hand on (streams to keep, with their bytes, and exhausted
//   buffers) goes into its chunk's queue; streams the size rules drop never leave it.
// - The committer (the calling thread) takes the chunks strictly in order, and each chunk's queue
//   in order as it fills, applies the stop limit and calls the sink. So the sink sees exactly what
//   a one-thread scan would, and nothing past the stop limit is ever written, even for a moment.
//   The head chunk's worker commits its finds itself, straight from its buffer, after what its
//   chunk queued before it became the head: a scan that writes much then copies nothing and
//   wakes no thread for most finds. One thread at a time has the right to commit.
//
// Memory stays bounded. A worker takes a chunk only within a window of chunks past the one being
// committed (the head chunk). Bytes copied for a later chunk wait within a byte budget; past it
// the worker waits until there is room or its chunk is the head. The head chunk's worker never
// waits for room, so the head always moves and the scan never deadlocks.
//
// With one job, or an input of one chunk, the calling thread scans alone and commits each result
// straight from its buffer.
#include "engine/scan_engine.h"

#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "core/byte_runs.h"
#include "core/unpacker.h"

namespace korvel {

namespace {

using Verdict = SizeRules::Verdict;

// Chunks of 16 KiB to 1 MiB, some 16 per job: small enough to share the work out evenly at the
// end of the input, large enough that the dry runs' caches warm up once per chunk.
constexpr std::uint64_t minChunk = 16 << 10;
constexpr std::uint64_t maxChunk = 1 << 20;
constexpr std::uint64_t chunksPerJob = 16;

// ---- a shrinking input ------------------------------------------------------------------------
//
// A read of the mapping past the end of a file that shrank since it was mapped raises SIGBUS in
// the thread that read. The handler jumps back to that thread's armed point. Between that point
// and the read there are only decoder frames, which hold trivially destructible objects and no
// lock, so leaving them by a jump is safe. A signal handler can reach only globals: the guarded
// range is the process's, the jump point each thread's own.

std::atomic<const std::uint8_t*> guardedBegin{nullptr};
std::atomic<const std::uint8_t*> guardedEnd{nullptr};
thread_local sigjmp_buf* armedJump = nullptr;

void onBusError(int, siginfo_t* info, void*) {
    const auto* address = static_cast<const std::uint8_t*>(info->si_addr);
    if (armedJump != nullptr && address >= guardedBegin.load() && address < guardedEnd.load())
        siglongjmp(*armedJump, 1);
    // Not ours: die of it as the signal's default would.
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

// Guards may nest (a stream decoded again while the scan runs): each puts back what it found.
class BusErrorGuard {
public:
    BusErrorGuard(const std::uint8_t* begin, const std::uint8_t* end)
        : previousBegin_(guardedBegin.load()), previousEnd_(guardedEnd.load()) {
        guardedBegin = begin;
        guardedEnd = end;
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous_);
    }
    ~BusErrorGuard() {
        sigaction(SIGBUS, &previous_, nullptr);
        guardedBegin = previousBegin_;
        guardedEnd = previousEnd_;
    }
    BusErrorGuard(const BusErrorGuard&) = delete;
    BusErrorGuard& operator=(const BusErrorGuard&) = delete;

private:
    struct sigaction previous_ {};
    const std::uint8_t* previousBegin_;
    const std::uint8_t* previousEnd_;
};

// ---- workers ----------------------------------------------------------------------------------

struct FreeDeleter {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using OutputBuffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

// Runs of one value in the input, each measured once: a block that starts inside the run
// measured last needs no reading.
class OneValueRuns {
public:
    // `limit`: no byte from it on is read.
    OneValueRuns(const std::uint8_t* input, std::uint64_t limit) : input_(input), limit_(limit) {}

    // The value of the `length` bytes from `offset` when they are all one value, or -1.
    int valueThrough(std::uint64_t offset, std::uint64_t length) {
        if (offset >= runEnd_) measureFrom(offset);
        return offset + length <= runEnd_ ? input_[offset] : -1;
    }

private:
    // Out of line: inlined, it slowed the attempts' loop around the screens.
    [[gnu::noinline]] void measureFrom(std::uint64_t offset) {
        runEnd_ = static_cast<std::uint64_t>(endOfByteRun(input_ + offset, input_ + limit_, input_[offset]) - input_);
    }

    const std::uint8_t* const input_;
    const std::uint64_t limit_;
    std::uint64_t runEnd_ = 0;  // one past the run of one value measured last
};

// One thread's unpackers, with the scan state and the output buffer they share. Aligned so that
// no two workers' hot counters share a cache line.
class alignas(128) Worker {
public:
    // `joinBudget`: shared with the other workers of the scan, or none.
    Worker(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings, OutputBuffer buffer,
           JoinBudget* joinBudget)
        : buffer_(std::move(buffer)), keepSurroundings_(settings.keepSurroundings) {
        scan_.inputView = input;
        scan_.inputSize = size;
        scan_.outputBuffer = buffer_.get();
        scan_.sizes = settings.sizes;
        scan_.keepBytes = settings.keepBytes;
        scan_.dryRuns = settings.dryRuns;
        scan_.joinBudget = joinBudget;
        for (const FormatDescriptor* format : settings.formats) unpackers_.push_back(format->makeUnpacker(scan_));
        screenMasks_.resize(unpackers_.size());
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Tries every format at every offset of [begin, end). Each find that the size rules do not
    // drop goes to onFound(format index, verdict), which answers false to end the scan there.
    // False when the input shrank under the scan; failedOffset then tells where.
    template <typename OnFound>
    bool scanRange(std::uint64_t begin, std::uint64_t end, const std::atomic<bool>& cancelled, OnFound&& onFound,
                   std::uint64_t& failedOffset) {
        // A scan of decoded bytes may run inside onFound, on this thread: its jump point is
        // put back after it.
        sigjmp_buf jump;
        sigjmp_buf* const previous = armedJump;
        if (sigsetjmp(jump, 1) != 0) {
            armedJump = previous;
            failedOffset = scan_.currentOffset;
            return false;
        }
        armedJump = &jump;
        tryEveryOffset(begin, end, cancelled, onFound);
        armedJump = previous;
        return true;
    }

    // The find just made; its bytes are in this worker's buffer until its next attempt. It reads
    // the input around the stream, so it must be called between the armed jump point and the
    // next attempt, with no frame in between that a jump could not leave.
    FoundStream found() const {
        const bool complete = scan_.sizes.classify(scan_.outputSize) != Verdict::Exhausted;
        FoundStream stream{nullptr, scan_.currentOffset, scan_.outputSize, complete ? scan_.inputEnd : 0, {}};
        if (scan_.bytesWanted(scan_.outputSize)) stream.bytes = {scan_.outputBuffer, scan_.outputSize};
        if (keepSurroundings_) copySurroundings(stream);
        return stream;
    }

    // Tries one format at one offset, as the scan would, and leaves what it found in the buffer.
    // False when nothing was found, and with `inputChanged` set when the input shrank under the
    // attempt. The thread's jump point is restored afterwards: this may run inside a scan.
    bool tryAt(std::size_t format, std::uint64_t offset, bool& inputChanged) {
        sigjmp_buf jump;
        sigjmp_buf* const previous = armedJump;
        if (sigsetjmp(jump, 1) != 0) {
            armedJump = previous;
            inputChanged = true;
            return false;
        }
        armedJump = &jump;
        scan_.currentOffset = offset;
        scan_.inputEnd = 0;
        const bool foundOne = unpackers_[format]->tryUnpack();
        armedJump = previous;
        return foundOne;
    }
    std::span<const std::uint8_t> output() const { return {scan_.outputBuffer, scan_.outputSize}; }

private:
    template <typename OnFound>
    void tryEveryOffset(std::uint64_t begin, std::uint64_t end, const std::atomic<bool>& cancelled, OnFound& onFound) {
        if (scan_.dryRuns)
            tryEveryOffset<true>(begin, end, cancelled, onFound);
        else
            tryEveryOffset<false>(begin, end, cancelled, onFound);
    }
    // Whether the dry runs are on is decided once, not for every format at every offset.
    template <bool dryRuns, typename OnFound>
    void tryEveryOffset(std::uint64_t begin, std::uint64_t end, const std::atomic<bool>& cancelled, OnFound& onFound) {
        // In locals: the attempts' calls would make the loop load them again each time.
        const std::unique_ptr<Unpacker>* const unpackers = unpackers_.data();
        const std::size_t count = unpackers_.size();
        // Where every format fails at once, as at nearly every offset of most inputs, one
        // attempt per format and offset (a call each, and its branches) cost more than the
        // failure: blocks of offsets are screened first, and only the offsets some format may
        // start a stream at are tried, each by the formats that may.
        std::uint64_t offset = begin;
        if constexpr (dryRuns) {
            const std::uint64_t screenedEnd =
                scan_.inputSize > Unpacker::screenReach ? std::min(end, scan_.inputSize - Unpacker::screenReach) : 0;
            std::uint64_t* const masks = screenMasks_.data();
            // A screen answers from the bytes it reads alone, so a block whose bytes are all the
            // value the block before's were has that block's answers: the runs of one value
            // that fill disk images and firmware are screened once, not every 64 bytes.
            OneValueRuns runs(scan_.inputView, std::min(scan_.inputSize, end + Unpacker::screenReach));
            int lastValue = -1;  // the value of the last block's bytes, when they were all one
            std::uint64_t lastAny = 0;
            for (; offset + Unpacker::screenBlock <= screenedEnd; offset += Unpacker::screenBlock) {
                if (cancelled.load(std::memory_order_relaxed)) return;
                scan_.currentOffset = offset;  // where a fault while screening is reported
                const int value = runs.valueThrough(offset, Unpacker::screenReach);
                std::uint64_t any = lastAny;
                if (value < 0 || value != lastValue) {
                    any = 0;
                    for (std::size_t i = 0; i < count; ++i) any |= masks[i] = unpackers[i]->screen(scan_.inputView + offset);
                    lastAny = any;
                }
                lastValue = value;
                for (; any != 0; any &= any - 1) {
                    const auto bit = static_cast<unsigned>(std::countr_zero(any));
                    scan_.currentOffset = offset + bit;
                    for (std::size_t i = 0; i < count; ++i) {
                        if ((masks[i] >> bit & 1) == 0 || !unpackers[i]->tryPredicted()) continue;
                        if (!settleFind(i, onFound)) return;
                    }
                }
            }
        }
        for (scan_.currentOffset = offset; scan_.currentOffset < end; ++scan_.currentOffset) {
            if (cancelled.load(std::memory_order_relaxed)) return;
            for (std::size_t i = 0; i < count; ++i) {
                if (!(dryRuns ? unpackers[i]->tryPredicted() : unpackers[i]->tryDecoderAlone())) continue;
                if (!settleFind(i, onFound)) return;
            }
        }
    }
    // Hands the find just made on; false when the scan must end.
    template <typename OnFound>
    bool settleFind(std::size_t format, OnFound& onFound) {
        const Verdict verdict = scan_.sizes.classify(scan_.outputSize);
        const bool goOn = verdict == Verdict::Dropped || onFound(format, verdict);
        scan_.inputEnd = 0;  // an unpacker that does not know the next find's end leaves 0
        return goOn;
    }

    void copySurroundings(FoundStream& stream) const {
        StreamSurroundings& around = stream.surroundings;
        const std::uint64_t before = std::min<std::uint64_t>(stream.offset, StreamSurroundings::beforeCapacity);
        std::copy_n(scan_.inputView + stream.offset - before, before, around.before.begin());
        around.beforeCount = static_cast<std::uint8_t>(before);
        if (stream.end == 0) return;
        const std::uint64_t after = std::min<std::uint64_t>(scan_.inputSize - stream.end, StreamSurroundings::afterCapacity);
        std::copy_n(scan_.inputView + stream.end, after, around.after.begin());
        around.afterCount = static_cast<std::uint8_t>(after);
    }

    OutputBuffer buffer_;
    ScanState scan_;
    std::vector<std::unique_ptr<Unpacker>> unpackers_;
    std::vector<std::uint64_t> screenMasks_;  // one per format, for the block being screened
    bool keepSurroundings_;
};

// Applies the stop limit and calls the sink; one per scan, on the committing thread.
class Committer {
public:
    Committer(const ScanSettings& settings, ResultSink& sink)
        : formats_(settings.formats), remaining_(settings.stopAfter), sink_(sink),
          committedOffset_(settings.committedOffset) {}

    // True when the scan must end here: the stop limit was just reached, or the sink failed or
    // reached a limit of its own.
    bool commit(std::size_t format, Verdict verdict, FoundStream stream) {
        assert((stream.offset > lastOffset_ || (stream.offset == lastOffset_ && format > lastFormat_) || first_) &&
               "results are committed in offset order and, at one offset, in format order");
        first_ = false;
        lastOffset_ = stream.offset;
        lastFormat_ = format;
        stream.format = formats_[format];
        if (verdict == Verdict::Exhausted) {
            sink_.exhausted(stream);
            return sinkEnds();
        }
        if (!sink_.save(stream)) return sinkEnds();
        return (remaining_ != 0 && --remaining_ == 0) || sinkEnds();
    }

    ScanOutcome::Status endStatus() const {
        return sink_.failed() ? ScanOutcome::Status::SinkFailed : ScanOutcome::Status::Stopped;
    }

    // Every result below `offset` has been committed. True when the scan must end here.
    bool committedUpTo(std::uint64_t offset) {
        if (committedOffset_ != nullptr) committedOffset_->store(offset, std::memory_order_relaxed);
        sink_.passed(offset);
        return sinkEnds();
    }

private:
    bool sinkEnds() const { return sink_.failed() || sink_.stopped(); }

public:

private:
    const std::vector<const FormatDescriptor*>& formats_;
    std::uint32_t remaining_;  // 0: no limit
    // The last result committed, for the order the assertion above holds.
    bool first_ = true;
    std::uint64_t lastOffset_ = 0;
    std::size_t lastFormat_ = 0;
    ResultSink& sink_;
    std::atomic<std::uint64_t>* committedOffset_;
};

// One thread scans and commits each result straight from its buffer. The range goes in pieces
// only so that progress can be told.
ScanOutcome scanAlone(Worker& worker, std::uint64_t begin, std::uint64_t end, Committer& committer) {
    const std::atomic<bool> never{false};
    bool stopped = false;
    const auto commit = [&](std::size_t format, Verdict verdict) {
        stopped = committer.commit(format, verdict, worker.found());
        return !stopped;
    };
    for (std::uint64_t first = begin; first < end && !stopped;) {
        const std::uint64_t last = first + std::min(end - first, maxChunk);
        std::uint64_t failedOffset = 0;
        if (!worker.scanRange(first, last, never, commit, failedOffset))
            return {ScanOutcome::Status::InputChanged, failedOffset};
        if (!stopped) stopped = committer.committedUpTo(last);
        first = last;
    }
    return {stopped ? committer.endStatus() : ScanOutcome::Status::Finished, 0};
}

// ---- the parallel scan ------------------------------------------------------------------------

struct PendingResult {
    std::size_t format;
    Verdict verdict;
    FoundStream stream;  // bytes point into `copy`
    std::vector<std::uint8_t> copy;
    std::size_t charge;  // counted against the budget until committed
};

struct ChunkQueue {
    std::deque<PendingResult> results;
    bool done = false;
    bool inputChanged = false;
    std::uint64_t failedOffset = 0;
};

class ParallelScan {
public:
    ParallelScan(std::vector<std::unique_ptr<Worker>>& workers, std::uint64_t begin, std::uint64_t end,
                 std::uint64_t chunkSize, const ScanSettings& settings, Committer& committer)
        : workers_(workers),
          begin_(begin),
          end_(end),
          chunkSize_(chunkSize),
          chunkCount_((end - begin + chunkSize - 1) / chunkSize),
          queues_(workers.size() * std::max<std::uint64_t>(settings.chunksInFlightPerJob, 1)),
          copyBudget_(settings.copyBudget),
          committer_(committer) {}

    ScanOutcome run() {
        std::vector<std::thread> threads;
        for (auto& worker : workers_) {
            try {
                threads.emplace_back([this, &worker] { work(*worker); });
            } catch (const std::system_error&) {
                break;  // fewer threads scan the same chunks
            }
        }
        if (threads.empty()) return scanAlone(*workers_.front(), begin_, end_, committer_);
        const ScanOutcome outcome = commitInOrder();
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
            cancelled_ = true;
        }
        workersWake_.notify_all();
        for (auto& thread : threads) thread.join();
        return outcome;
    }

private:
    // What a queued result costs while it waits: its bytes and its bookkeeping.
    static constexpr std::size_t resultOverhead = sizeof(PendingResult) + 16;

    ChunkQueue& queueOf(std::uint64_t chunk) { return queues_[chunk % queues_.size()]; }

    void work(Worker& worker) {
        for (;;) {
            std::uint64_t chunk;
            {
                std::unique_lock lock(mutex_);
                workersWake_.wait(lock, [&] {
                    return finished_ || nextChunk_ >= chunkCount_ || nextChunk_ < headChunk_ + queues_.size();
                });
                if (finished_ || nextChunk_ >= chunkCount_) return;
                chunk = nextChunk_++;
            }
            const std::uint64_t first = begin_ + chunk * chunkSize_;
            const std::uint64_t last = std::min(end_, first + chunkSize_);
            std::uint64_t failedOffset = 0;
            const bool intact = worker.scanRange(
                first, last, cancelled_,
                [&](std::size_t format, Verdict verdict) { return handOver(worker, chunk, format, verdict); },
                failedOffset);
            {
                std::lock_guard lock(mutex_);
                ChunkQueue& queue = queueOf(chunk);
                queue.done = true;
                queue.inputChanged = !intact;
                queue.failedOffset = failedOffset;
            }
            committerWake_.notify_one();
            // After a jump out of a decoder the worker's caches may be half updated; the scan ends
            // at the lowest failing offset anyway.
            if (!intact) return;
        }
    }

    // Hands one result of `chunk` on; false once the scan has ended.
    bool handOver(Worker& worker, std::uint64_t chunk, std::size_t format, Verdict verdict) {
        const FoundStream stream = worker.found();
        const bool needsBytes = !stream.bytes.empty();
        const std::size_t charge = resultOverhead + (needsBytes ? stream.size : 0);
        std::unique_lock lock(mutex_);
        ChunkQueue& queue = queueOf(chunk);
        for (bool copyFailed = false;;) {
            if (finished_) return false;
            if (chunk == headChunk_) return commitAsHead(lock, queue, format, verdict, stream);
            if (!copyFailed && pendingBytes_ + charge <= copyBudget_) {
                pendingBytes_ += charge;
                PendingResult result{format, verdict, stream, {}, charge};
                if (!needsBytes) {
                    push(queue, std::move(result));
                    return true;
                }
                lock.unlock();
                try {
                    result.copy.assign(stream.bytes.begin(), stream.bytes.end());
                    result.stream.bytes = result.copy;
                } catch (const std::bad_alloc&) {
                    copyFailed = true;  // it waits to commit the find itself, from its buffer
                }
                lock.lock();
                if (!copyFailed) {
                    if (finished_) return false;
                    push(queue, std::move(result));
                    return true;
                }
                pendingBytes_ -= charge;
            }
            workersWake_.wait(lock);
        }
    }

    // The head chunk's worker commits its find itself, from its own buffer, after what its chunk
    // queued before it became the head: the find costs no copy, and no thread is woken for it
    // unless the committer is in the sink just then.
    bool commitAsHead(std::unique_lock<std::mutex>& lock, ChunkQueue& queue, std::size_t format, Verdict verdict,
                      const FoundStream& stream) {
        headWaiting_ = true;  // the committer leaves the rest of this chunk's queue to this worker
        workersWake_.wait(lock, [&] { return finished_ || !committing_; });
        headWaiting_ = false;
        if (finished_) return false;
        committing_ = true;
        bool stopped = false;
        while (!stopped && !queue.results.empty()) stopped = commitQueued(lock, queue);
        if (!stopped) {  // a queued result that ended the scan has marked it so
            lock.unlock();
            stopped = committer_.commit(format, verdict, stream);
            lock.lock();
            if (stopped) endByCommit();
        }
        committing_ = false;
        return !stopped;
    }

    // A commit ended the scan: no thread may commit anything after it, even before run() hears.
    void endByCommit() {
        finished_ = true;
        cancelled_ = true;
        workersWake_.notify_all();
        committerWake_.notify_one();
    }

    // Commits the first result of `queue`, holding the right to commit; true when the scan must
    // end there.
    bool commitQueued(std::unique_lock<std::mutex>& lock, ChunkQueue& queue) {
        PendingResult result = std::move(queue.results.front());
        queue.results.pop_front();
        lock.unlock();
        const bool stopped = committer_.commit(result.format, result.verdict, result.stream);
        lock.lock();
        pendingBytes_ -= result.charge;
        if (stopped) endByCommit();
        workersWake_.notify_all();
        return stopped;
    }

    void push(ChunkQueue& queue, PendingResult&& result) {
        queue.results.push_back(std::move(result));
        committerWake_.notify_one();
    }

    ScanOutcome commitInOrder() {
        std::unique_lock lock(mutex_);
        for (std::uint64_t chunk = 0; chunk < chunkCount_; ++chunk) {
            ChunkQueue& queue = queueOf(chunk);
            for (;;) {
                committerWake_.wait(lock, [&] {
                    return finished_ || queue.done || (!queue.results.empty() && !headWaiting_ && !committing_);
                });
                if (finished_) return {committer_.endStatus(), 0};  // a worker's commit ended the scan
                // Once the chunk is done its worker has left the sink: what is left is the committer's.
                if (queue.results.empty()) break;  // and done
                committing_ = true;
                const bool stopped = commitQueued(lock, queue);  // wakes a head worker waiting to commit
                committing_ = false;
                if (stopped) return {committer_.endStatus(), 0};
            }
            if (queue.inputChanged) return {ScanOutcome::Status::InputChanged, queue.failedOffset};
            queue = ChunkQueue{};
            headChunk_ = chunk + 1;
            committing_ = true;  // the sink hears of the chunk's end before any result past it
            lock.unlock();  // a sink that held results back may hand them on now
            const bool stopped = committer_.committedUpTo(std::min(end_, begin_ + headChunk_ * chunkSize_));
            lock.lock();
            committing_ = false;
            if (stopped) {
                endByCommit();
                return {committer_.endStatus(), 0};
            }
            workersWake_.notify_all();
        }
        return {ScanOutcome::Status::Finished, 0};
    }

    std::vector<std::unique_ptr<Worker>>& workers_;
    const std::uint64_t begin_, end_, chunkSize_, chunkCount_;
    std::vector<ChunkQueue> queues_;  // the window: chunk k uses queues_[k % size]
    const std::size_t copyBudget_;
    Committer& committer_;

    std::mutex mutex_;
    std::condition_variable workersWake_;    // a chunk, budget or the right to commit came free
    std::condition_variable committerWake_;  // a result was queued or a chunk finished
    std::uint64_t nextChunk_ = 0;            // the next chunk to take
    std::uint64_t headChunk_ = 0;            // the chunk being committed
    std::size_t pendingBytes_ = 0;           // charges of the results waiting for the committer
    // A thread has the right to commit (is in the sink): the committer, or the head chunk's
    // worker. One at a time, so the sink sees one order whoever calls it.
    bool committing_ = false;
    bool headWaiting_ = false;               // the head chunk's worker waits for that right
    bool finished_ = false;                  // the scan ended: by a commit, or once all was committed
    std::atomic<bool> cancelled_{false};     // read by workers at every offset
};

}  // namespace

ScanOutcome runScan(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings, ResultSink& sink) {
    if (settings.startOffset >= size || settings.formats.empty()) return {};
    const std::uint64_t begin = settings.startOffset;
    const std::uint64_t span = size - begin;
    const unsigned jobs = std::max(settings.jobs, 1u);
    const std::uint64_t chunkSize = settings.chunkSize != 0
                                        ? settings.chunkSize
                                        : std::clamp<std::uint64_t>(span / (jobs * chunksPerJob), minChunk, maxChunk);
    const std::uint64_t workerCount = std::min<std::uint64_t>(jobs, (span + chunkSize - 1) / chunkSize);

    // Outlives the workers, whose dry runs give back to it.
    JoinBudget joinBudget(settings.joinBudget != 0 ? settings.joinBudget : JoinBudget::bytesFor(workerCount));
    // calloc takes fresh zero pages: a buffer costs memory only as far as streams fill it. A
    // worker past the first that gets none leaves the scan to the others.
    std::vector<std::unique_ptr<Worker>> workers;  // unpackers hold their worker's state: never moved
    for (std::uint64_t i = 0; i < workerCount; ++i) {
        OutputBuffer buffer(static_cast<std::uint8_t*>(std::calloc(std::size_t{settings.sizes.bufferCapacity} + 1, 1)));
        if (!buffer) break;
        workers.push_back(std::make_unique<Worker>(input, size, settings, std::move(buffer), &joinBudget));
    }
    if (workers.empty()) return {ScanOutcome::Status::NoBuffer, 0};

    std::optional<BusErrorGuard> guard;
    if (settings.inputMayShrink) guard.emplace(input, input + size + 1);
    Committer committer(settings, sink);
    if (workers.size() == 1) return scanAlone(*workers.front(), begin, size, committer);
    return ParallelScan(workers, begin, size, chunkSize, settings, committer).run();
}

// ---- decoding single streams again --------------------------------------------------------------

class StreamDecoder::Implementation {
public:
    Implementation(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings)
        : input_(input), size_(size), settings_(settings) {
        settings_.keepBytes = true;
        settings_.keepSurroundings = false;
    }

    Outcome decode(const FormatDescriptor& format, std::uint64_t offset, std::uint32_t size,
                   std::span<const std::uint8_t>& bytes) {
        if (inputChanged_) return Outcome::InputChanged;
        if (!worker_) {
            OutputBuffer buffer(
                static_cast<std::uint8_t*>(std::calloc(std::size_t{settings_.sizes.bufferCapacity} + 1, 1)));
            if (!buffer) return Outcome::NoBuffer;
            // Its own dry runs' budgets: it runs beside the scan, whose workers share theirs.
            worker_ = std::make_unique<Worker>(input_, size_, settings_, std::move(buffer), nullptr);
        }
        const auto row = std::find(settings_.formats.begin(), settings_.formats.end(), &format);
        if (row == settings_.formats.end()) return Outcome::NotFound;
        std::optional<BusErrorGuard> guard;
        if (settings_.inputMayShrink) guard.emplace(input_, input_ + size_ + 1);
        const bool foundOne =
            worker_->tryAt(static_cast<std::size_t>(row - settings_.formats.begin()), offset, inputChanged_);
        if (inputChanged_) return Outcome::InputChanged;
        bytes = worker_->output();
        return foundOne && bytes.size() == size ? Outcome::Decoded : Outcome::NotFound;
    }

    Outcome countBytes(std::uint64_t begin, std::uint64_t end, std::array<std::uint64_t, 256>& counts) {
        if (inputChanged_) return Outcome::InputChanged;
        counts.fill(0);
        if (begin >= end || end > size_) return Outcome::Decoded;
        std::optional<BusErrorGuard> guard;
        if (settings_.inputMayShrink) guard.emplace(input_, input_ + size_ + 1);
        sigjmp_buf jump;
        sigjmp_buf* const previous = armedJump;
        if (sigsetjmp(jump, 1) != 0) {
            armedJump = previous;
            inputChanged_ = true;
            return Outcome::InputChanged;
        }
        armedJump = &jump;
        // Four tables in turn: in a run of one value, each increment would wait for the last.
        std::array<std::array<std::uint64_t, 256>, 4> lanes{};
        const std::uint8_t* byte = input_ + begin;
        for (; input_ + end - byte >= 4; byte += 4) {
            ++lanes[0][byte[0]];
            ++lanes[1][byte[1]];
            ++lanes[2][byte[2]];
            ++lanes[3][byte[3]];
        }
        for (; byte != input_ + end; ++byte) ++lanes[0][*byte];
        for (std::size_t value = 0; value < 256; ++value)
            counts[value] = lanes[0][value] + lanes[1][value] + lanes[2][value] + lanes[3][value];
        armedJump = previous;
        return Outcome::Decoded;
    }

private:
    const std::uint8_t* input_;
    std::uint64_t size_;
    ScanSettings settings_;
    std::unique_ptr<Worker> worker_;  // made at the first decode: its buffer costs only when used
    bool inputChanged_ = false;       // after a jump out of a decoder its caches may be half updated
};

StreamDecoder::StreamDecoder(const std::uint8_t* input, std::uint64_t size, const ScanSettings& settings)
    : implementation_(std::make_unique<Implementation>(input, size, settings)) {}

StreamDecoder::~StreamDecoder() = default;

StreamDecoder::Outcome StreamDecoder::decode(const FormatDescriptor& format, std::uint64_t offset, std::uint32_t size,
                                             std::span<const std::uint8_t>& bytes) {
    return implementation_->decode(format, offset, size, bytes);
}

StreamDecoder::Outcome StreamDecoder::countBytes(std::uint64_t begin, std::uint64_t end,
                                                 std::array<std::uint64_t, 256>& counts) {
    return implementation_->countBytes(begin, end, counts);
}

}  // namespace korvel
