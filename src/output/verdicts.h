// Telling the real streams from the noise: families, evidence and a verdict for every stream.
//
// Families. Streams of one format that end at the same input byte share their compressed tail:
// a walk that starts on junk before a real stream often falls into step with its instructions
// and ends where it ends. They are one family, and at most one member is the real stream.
//
// Verdicts. A stream is `real` when the input around it corroborates it (evidence.h) by at least
// realEvidenceBits; `plausible` when no member of its family has such evidence and it is the
// member chosen for the family and sound on its own (large enough, decoding to clearly more than
// it reads, and to bytes that are not mere runs); `noise` otherwise. Streams that filled the
// buffer have no end and no family: they are plausible, real with a wrapper header before them.
//
// What a verdict waits for: a family is known once the scan has passed its end, and a field's
// layout once the scan has seen the streams of the next `layoutLookahead` bytes. Until then the
// sink holds results back, in order. Memory stays bounded: at most `maxPending` streams wait;
// past that the oldest family is judged with what is known of it (a member is then real by its
// own evidence, never plausible), and its later members alone, by their own evidence.
// Thread safety: one sink per scan, called by the scan's committing threads, one at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <utility>
#include <vector>

#include "engine/result_sink.h"
#include "engine/scan_engine.h"
#include "output/evidence.h"
#include "output/outer_filter.h"

namespace korvel {

enum class Verdict : std::uint8_t { Real, Plausible, Noise };
const char* verdictName(Verdict verdict);

struct Judgement {
    Verdict verdict = Verdict::Noise;
    std::uint64_t familyEnd = 0;     // 0: the stream filled the buffer, its end is not known
    std::uint32_t familyMembers = 0;
    bool chosen = false;             // the member its family is reported by
    bool familyChosen = false;       // its family has such a member
    EvidenceList evidence;
};

// How many streams of each verdict a format had, including those left out.
struct VerdictCounts {
    std::uint64_t real = 0, plausible = 0, noise = 0;
};

struct JudgingSettings {
    enum class Keep : std::uint8_t {
        All,                // every stream is passed on, with its judgement
        RealAndPlausible,   // noise is left out (--real)
    };
    Keep keep = Keep::All;
    // Noise is left out when it lies inside an earlier stream passed on of its format, or when
    // its family has a real or plausible member, whose compressed tail it only decodes again.
    bool outer = false;
    bool needBytes = true;   // the sinks after it save what they are given: decode it
    std::uint32_t stopAfter = 0;  // the scan ends once this many streams were kept; 0: no limit
    std::uint64_t layoutLookahead = 256 << 10;  // bytes
    std::size_t maxPending = std::size_t{1} << 18;  // some 100 MiB of streams held back
};

class JudgingSink : public ResultSink {
public:
    // `formats` are the scan's, in its order; `decoder` decodes the streams it passes on, and
    // those whose decoded bytes it weighs.
    JudgingSink(ResultSink& next, StreamDecoder& decoder, const std::vector<const FormatDescriptor*>& formats,
                const JudgingSettings& settings);
    ~JudgingSink() override;

    bool save(const FoundStream& stream) override;
    void exhausted(const FoundStream& stream) override;
    void passed(std::uint64_t offset) override;
    bool failed() const override;
    // Its own stop limit, or the next sink's.
    bool stopped() const override { return stopped_ || next_.stopped(); }

    // The scan ended: judges and passes on what is held back (nothing once stopped or failed).
    void finish();

    enum class Failure { None, NoBuffer, InputChanged };
    // Why the sink could not go on: a stream it passes on could not be decoded again.
    Failure failure() const { return failure_; }
    std::uint64_t failedOffset() const { return failedOffset_; }
    // By format index, every stream judged so far.
    const std::vector<VerdictCounts>& counts() const { return counts_; }

private:
    struct Candidate;
    struct Family;
    class OpenFamilies;
    class Layouts;
    class Density;

    void arrive(const FoundStream& stream, bool filledBuffer);
    void advance(std::uint64_t front, bool everything);
    void close(Family& family, bool early);
    void weighNeighbours(const Family& family, Candidate& member);
    void choose(Family& family, std::uint32_t maximumSize, bool early);
    void settle(Family& family);
    bool sound(const Candidate& candidate);
    void count(const Candidate& judged);
    void emitReady();
    void emit(Candidate& candidate);
    Candidate& candidate(std::uint64_t id);
    // The decoded bytes of a held stream; the last ones decoded are not decoded again.
    StreamDecoder::Outcome decode(const Candidate& candidate, std::span<const std::uint8_t>& bytes);

    ResultSink& next_;
    StreamDecoder& decoder_;
    std::vector<const FormatDescriptor*> formats_;
    JudgingSettings settings_;

    std::deque<Candidate> pending_;  // in arrival order; pending_[0] has id firstId_
    std::uint64_t firstId_ = 0;
    std::unique_ptr<OpenFamilies> families_;  // by format and end
    // Families by end, first the one that ends first: (end, key).
    std::priority_queue<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::pair<std::uint64_t, std::uint64_t>>,
                        std::greater<>>
        closing_;
    std::unique_ptr<Layouts> layouts_;
    std::unique_ptr<Density> density_;
    std::vector<NestingRule> nesting_;        // per scan format, for --outer
    std::vector<VerdictCounts> counts_;       // by format index
    std::uint64_t front_ = 0;                 // every result below it has arrived
    std::uint32_t kept_ = 0;
    struct LastDecoded {
        std::uint16_t format = 0;
        std::uint64_t offset = ~std::uint64_t{0};
        std::span<const std::uint8_t> bytes;
    } lastDecoded_;
    bool stopped_ = false;
    Failure failure_ = Failure::None;
    std::uint64_t failedOffset_ = 0;
};

}  // namespace korvel
