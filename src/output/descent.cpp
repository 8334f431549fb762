#include "output/descent.h"

#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace korvel {

namespace {

constexpr std::uint64_t rotate(std::uint64_t value, int bits) { return value << bits | value >> (64 - bits); }

// The ARX rounds of SipHash: with a secret key, no one can make two contents collide.
struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotate(v1, 13) ^ v0;
        v0 = rotate(v0, 32);
        v2 += v3;
        v3 = rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotate(v1, 17) ^ v2;
        v2 = rotate(v2, 32);
    }
    void absorb(std::uint64_t word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    }
};

}  // namespace

Descent::Descent(const DescentSettings& settings) : settings_(settings) {
    std::random_device random;
    for (std::uint64_t& half : key_) half = std::uint64_t{random()} << 32 | random();
}

// SipHash-2-4 with its 128-bit output.
Descent::Digest Descent::digestOf(std::span<const std::uint8_t> bytes) const {
    SipState state{key_[0] ^ 0x736f6d6570736575u, key_[1] ^ 0x646f72616e646f6du ^ 0xee, key_[0] ^ 0x6c7967656e657261u,
                   key_[1] ^ 0x7465646279746573u};
    const std::size_t whole = bytes.size() / 8 * 8;
    for (std::size_t at = 0; at < whole; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        state.absorb(word);
    }
    std::uint64_t last = std::uint64_t{bytes.size()} << 56;
    for (std::size_t at = whole; at < bytes.size(); ++at) last |= std::uint64_t{bytes[at]} << (8 * (at - whole));
    state.absorb(last);
    state.v2 ^= 0xee;
    for (int i = 0; i < 4; ++i) state.round();
    const std::uint64_t first = state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
    state.v1 ^= 0xdd;
    for (int i = 0; i < 4; ++i) state.round();
    return {{first, state.v0 ^ state.v1 ^ state.v2 ^ state.v3}, bytes.size()};
}

DescendingSink::DescendingSink(ResultSink& next, FileSink& files, ReportSink* report, Descent& descent,
                               unsigned level)
    : next_(next), files_(files), report_(report), descent_(descent), level_(level) {}

bool DescendingSink::save(const FoundStream& stream) {
    const bool kept = next_.save(stream);
    if (kept && level_ < descent_.settings_.depth && !stream.bytes.empty() && !next_.stopped()) scanInside(stream);
    return kept;
}

void DescendingSink::scanInside(const FoundStream& stream) {
    // Bytes equal to ones scanned before hold the same streams: a stream of many equal blocks,
    // or one that decodes to itself, cannot multiply the work.
    const Descent::Digest digest = descent_.digestOf(stream.bytes);
    if (descent_.scanned_.contains(digest)) return;
    const DescentSettings& settings = descent_.settings_;
    const std::uint64_t size = stream.bytes.size();
    if (size + 1 > settings.memoryLimit - descent_.held_) {
        const auto offset = static_cast<unsigned long long>(stream.offset);
        printLine(files_.lines(),
                  "%s: Not scanned inside: %llu bytes at: %llu (0x%llx)%s would pass the %llu bytes held for scanning "
                  "inside streams (raise --depth-memory)\n",
                  stream.format->name, static_cast<unsigned long long>(size), offset, offset, files_.where().c_str(),
                  static_cast<unsigned long long>(settings.memoryLimit));
        return;
    }
    descent_.scanned_.insert(digest);
    // A copy with the readable byte after the last that every scan needs: the stream's own
    // buffer is the level above's, and what follows its bytes there is not the same for every
    // number of threads.
    std::vector<std::uint8_t> bytes(stream.bytes.begin(), stream.bytes.end());
    bytes.push_back(0);
    descent_.held_ += bytes.size();

    FileSink files(files_, *stream.format, stream.offset);
    std::optional<ReportSink> report;
    if (report_ != nullptr) report.emplace(*report_, files, *stream.format, stream.offset);
    ResultSink& below = report ? static_cast<ResultSink&>(*report) : files;
    DescendingSink descending(below, files, report ? &*report : nullptr, descent_, level_ + 1);
    ResultSink* sink = &descending;
    std::optional<StreamDecoder> decoder;
    std::optional<JudgingSink> judge;
    if (settings.judged) {
        decoder.emplace(bytes.data(), size, settings.scan);
        sink = &judge.emplace(descending, *decoder, settings.scan.formats, settings.judging);
    }
    const ScanOutcome outcome = runScan(bytes.data(), size, settings.scan, *sink);
    if (outcome.status == ScanOutcome::Status::NoBuffer) {
        descent_.noBuffer_ = true;
    } else if (judge) {
        judge->finish();
        if (judge->failure() == JudgingSink::Failure::NoBuffer) descent_.noBuffer_ = true;
    }
    descent_.held_ -= bytes.size();
}

}  // namespace korvel
