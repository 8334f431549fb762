#include "formats/ucl/ucl_precheck.h"
#include "formats/ucl/ucl_precheck_internal.h"

#include <ucl/ucl.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "formats/common/lsb_bits.h"
#include "formats/common/tuning.h"

namespace korvel {

namespace {

// Tuning (see formats/common/tuning.h). Walks join near their starts: landmarks of every level
// stay within 1 MiB of one, and thin out beyond (positions count bytes).
constexpr InputExtent landmarksNearby{1 << 20};

// All counters are 32-bit, as ucl_uint is on this platform, so that wrap-around past 4 GiB and
// the overflowing sums in the output checks behave as in the decoders.
using Count = std::uint32_t;
static_assert(sizeof(ucl_uint) == sizeof(Count));

// Longest match offset code before the decoders report a lookbehind overrun.
constexpr Count offsetCodeLimit = 0xffffff + 3;
// A full offset of all ones marks the end of the stream.
constexpr Count endOffset = 0xffffffff;

// In a run of 0xff met with the control bits used up, every nine bytes are a control byte
// of eight literal bits and eight literals: erased flash would otherwise be walked literal
// by literal to the run's end from every offset in it. The groups that pass all their
// checks are taken at once; the group where a check fails, and the rest of the run, go bit
// by bit, so every failure is met at the same literal. The walk's control bits stay used up.
// Out of line, as ordinary data seldom gets here.
[[gnu::noinline, gnu::cold]] Count literalGroups(OnesRunIndex& onesRuns, const std::uint8_t* at, Count left,
                                                 Count produced, Count capacity) {
    const auto run = static_cast<Count>(onesRuns.length(at, at + left));
    // A group fits whole when its last literal is inside the input and below the capacity.
    const Count room = produced < capacity ? capacity - produced : 0;
    return std::min(run / 9, room / 8);
}

// What a plain walk does at its steps: nothing.
struct NoJoins {
    static constexpr bool active = false;
    bool atStep(Count&, Count&, Count&, Count&, UclOutcome&) { return false; }
    void setDistance(Count, Count) {}
    void setSlack(Count) {}
    void skipped(Count, bool) {}
    void failedOwnCheck() {}
    void ended(int, Count, Count) {}
};

// With `exactFailure` false the walk may stop as soon as a failure is certain, reporting a
// failure code that need not be the one the decoder would return; the output length is exact.
// `Joins` is told of every step (a literal, or a match, each starting with its first control
// bit) and may answer for the rest of the walk, or move it on (see UclDryRun).
template <UclMethod method, bool exactFailure, typename Joins = NoJoins>
class StreamWalk {
public:
    StreamWalk(const std::uint8_t* source, Count sourceLength, Count capacity, OnesRunIndex& onesRuns,
               Joins* joins = nullptr)
        : source_(source), sourceLength_(sourceLength), capacity_(capacity), onesRuns_(onesRuns), joins_(joins) {}

    UclOutcome run() {
        Count lastOffset = 1;
        for (;;) {
            if constexpr (Joins::active) {
                UclOutcome answer;
                if (joins_->atStep(taken_, bits_, lastOffset, produced_, answer)) return answer;
            } else {
                takeLiteralsAtOnce();
            }
            // A literal: one control bit, then one input byte to one output byte.
            if (literalBit()) {
                if (inputEnded()) return fail(UCL_E_INPUT_OVERRUN);
                if (produced_ >= capacity_) return failOwnCheck(UCL_E_OUTPUT_OVERRUN);
                ++produced_;
                ++taken_;
                continue;
            }

            // The high part of the offset, gamma coded; NRV2D interleaves it with a stop bit
            // and folds in the low bit of the length below.
            Count offset = 1;
            Count length = 0;
            if constexpr (method == UclMethod::nrv2b) {
                do {
                    offset = offset * 2 + bit();
                    if (inputEnded()) return fail(UCL_E_INPUT_OVERRUN);
                    if (offset > offsetCodeLimit) return fail(UCL_E_LOOKBEHIND_OVERRUN);
                } while (!bit());
            } else {
                for (;;) {
                    offset = offset * 2 + bit();
                    if (inputEnded()) return fail(UCL_E_INPUT_OVERRUN);
                    if (offset > offsetCodeLimit) return fail(UCL_E_LOOKBEHIND_OVERRUN);
                    if (bit()) break;
                    offset = (offset - 1) * 2 + bit();
                }
            }

            if (offset == 2) {
                // Code 2 repeats the previous offset.
                offset = lastOffset;
                if constexpr (method == UclMethod::nrv2d) length = bit();
            } else {
                if (inputEnded()) return fail(UCL_E_INPUT_OVERRUN);
                offset = (offset - 3) * 256 + source_[taken_++];
                if (offset == endOffset) break;
                if constexpr (method == UclMethod::nrv2d) {
                    length = ~offset & 1;
                    offset >>= 1;
                }
                lastOffset = ++offset;
                // The checks between here and the copy all fail or change nothing, and the
                // lookbehind check at their end fails: the output stays as it is.
                if constexpr (!exactFailure) {
                    if (offset > produced_) return failOwnCheck(UCL_E_LOOKBEHIND_OVERRUN);
                }
            }

            // Two length bits; zero means a gamma-coded length follows.
            if constexpr (method == UclMethod::nrv2b) length = bit();
            length = length * 2 + bit();
            if (length == 0) {
                length = 1;
                do {
                    length = length * 2 + bit();
                    if (inputEnded()) return fail(UCL_E_INPUT_OVERRUN);
                    if (length >= capacity_) return fail(UCL_E_OUTPUT_OVERRUN);
                } while (!bit());
                length += 2;
            }

            // The copy is length + 1 bytes. NRV2B checks that it fits; NRV2D checks one byte
            // less, so its last match may end one byte past the capacity.
            if constexpr (Joins::active) {
                joins_->setDistance(offset, produced_);
                joins_->setSlack(method == UclMethod::nrv2d ? 1 : 0);
            }
            if constexpr (method == UclMethod::nrv2b) {
                length += offset > 0xd00;
                if (produced_ + length + 1 > capacity_) return failOwnCheck(UCL_E_OUTPUT_OVERRUN);
            } else {
                length += offset > 0x500;
                if (produced_ + length > capacity_) return failOwnCheck(UCL_E_OUTPUT_OVERRUN);
            }
            if (offset > produced_) return failOwnCheck(UCL_E_LOOKBEHIND_OVERRUN);
            produced_ += length + 1;
        }
        const int result = taken_ == sourceLength_  ? UCL_E_OK
                           : taken_ < sourceLength_ ? UCL_E_INPUT_NOT_CONSUMED
                                                    : UCL_E_INPUT_OVERRUN;
        if constexpr (Joins::active) joins_->ended(result, taken_, produced_);
        return {result, produced_, taken_};
    }

private:
    // Control bits come a byte at a time, high bit first. The buffer holds the bits not yet
    // used above a marker bit; when only the marker is left in the low seven bits, the next
    // byte is fetched, whether or not it lies inside the input: the bound is checked after.
    Count bit() {
        if ((bits_ & 0x7f) != 0) {
            bits_ *= 2;
        } else {
            bits_ = Count{source_[taken_++]} * 2 + 1;
        }
        return (bits_ >> 8) & 1;
    }

    // The literals whose bits are left in the control byte at hand, when all of them pass their
    // checks: the quick walk meets them at most offsets of ordinary data, most of its steps.
    // (A walk with joins takes them one by one, as each is a step a landmark may stand at.)
    void takeLiteralsAtOnce() {
        if ((bits_ & 0x7f) == 0) return;  // the next bit comes with a new control byte
        const auto unread = static_cast<std::uint8_t>(bits_);
        const unsigned left = 7 - static_cast<unsigned>(std::countr_zero(unread));  // above the marker bit
        const unsigned literals = std::min(static_cast<unsigned>(std::countl_one(unread)), left);
        if (taken_ + literals > sourceLength_ || produced_ + literals > capacity_) return;
        bits_ <<= literals;
        taken_ += literals;
        produced_ += literals;
    }

    // bit(), but a control byte of 0xff fetched here may start a run to skip.
    Count literalBit() {
        if ((bits_ & 0x7f) != 0) {
            bits_ *= 2;
        } else {
            Count byte = source_[taken_];
            if (byte == 0xff && taken_ < sourceLength_) [[unlikely]] {
                const Count groups =
                    literalGroups(onesRuns_, source_ + taken_, sourceLength_ - taken_, produced_, capacity_);
                if constexpr (Joins::active) {
                    // A walk that began in the run meets the others only where the input
                    // goes on past it: a run to the input's end leaves a few steps to take.
                    if (groups != 0)
                        joins_->skipped(groups * 9, taken_ == 0 && sourceLength_ - groups * 9 > shortAttempt.bytes);
                }
                taken_ += groups * 9;
                produced_ += groups * 8;
                byte = source_[taken_];
            }
            bits_ = byte * 2 + 1;
            ++taken_;
        }
        return (bits_ >> 8) & 1;
    }

    bool inputEnded() const { return taken_ >= sourceLength_; }

    // A failure that every walk reaching this step meets.
    UclOutcome fail(int result) const {
        if constexpr (Joins::active) joins_->ended(result, taken_, produced_);
        return {result, produced_, taken_};
    }
    // A failure of a check on the bytes produced so far.
    UclOutcome failOwnCheck(int result) const {
        if constexpr (Joins::active) joins_->failedOwnCheck();
        return {result, produced_, taken_};
    }

    const std::uint8_t* const source_;
    const Count sourceLength_;
    const Count capacity_;
    OnesRunIndex& onesRuns_;
    Joins* joins_;
    Count bits_ = 0;
    Count taken_ = 0;
    Count produced_ = 0;
};

}  // namespace

UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity, OnesRunIndex& onesRuns) {
    if (method == UclMethod::nrv2b)
        return StreamWalk<UclMethod::nrv2b, true>(source, sourceLength, capacity, onesRuns).run();
    return StreamWalk<UclMethod::nrv2d, true>(source, sourceLength, capacity, onesRuns).run();
}

UclOutcome walkUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                         std::uint32_t capacity) {
    OnesRunIndex onesRuns;
    return walkUclStream(method, source, sourceLength, capacity, onesRuns);
}

namespace {

// A stream that begins with a match has nothing to copy from: its first match fails, with no
// output, unless it is the end code. Written as the first code, the end code starts with fixed
// bytes (its offset is a long gamma code and each of these bytes is all control bits), so any
// other start is no stream. Half of random data and nearly all text stops here.
constexpr std::uint8_t nrv2bBareEnd[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x04};
constexpr std::uint8_t nrv2dBareEnd[] = {0x09, 0x24, 0x92, 0x49};

// What a first control byte says, for screening: the stream fails; may go on; is no stream
// unless it is the bare end code; or (near | k) fails unless its first match, after k literals,
// takes its offset from the byte after them and reaches no further back than they do.
enum FirstControl : std::uint8_t { fails = 0, mayGoOn = 1, bareEndOnly = 2, near = 0x10 };

// The control bits are read high bit first: the leading ones are literals, the first zero
// starts a match, whose offset code follows (gamma coded: NRV2B in pairs of a data bit and a
// stop bit, NRV2D with a second data bit after each stop bit of 0). Code 2 repeats the last
// offset, 1: a copy of the literal before, which may go on. Code 3 takes the byte after the
// literals as the offset. Longer codes reach at least 129 bytes back, past any literals of
// one control byte, unless they are the end code, which runs on into later control bytes.
template <UclMethod method>
constexpr std::array<std::uint8_t, 256> firstControlTable() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned control = 0; control < 256; ++control) {
        if (control < 0x80) {
            table[control] = bareEndOnly;
            continue;
        }
        unsigned literals = 0;
        while (literals < 8 && (control >> (7 - literals) & 1) != 0) ++literals;
        table[control] = mayGoOn;
        unsigned position = literals + 1;  // the bit after the match's zero
        const auto next = [&](unsigned& bit) {
            if (position > 7) return false;
            bit = control >> (7 - position++) & 1;
            return true;
        };
        unsigned code = 1;
        unsigned bit = 0;
        bool ended = false;
        while (literals < 8 && next(bit)) {
            code = code * 2 + bit;
            if (!next(bit)) break;
            if (bit != 0) {
                ended = true;
                break;
            }
            if constexpr (method == UclMethod::nrv2d) {
                if (!next(bit)) break;
                code = (code - 1) * 2 + bit;
            }
        }
        if (!ended || code == 2) continue;
        table[control] = static_cast<std::uint8_t>(code == 3 ? near | literals : unsigned{fails});
    }
    return table;
}

// After a first control byte that may go on, the second decides most offsets of ordinary
// data. The walk takes the literals and the matches that repeat the last offset (one byte
// back, none having set another), and fails at the first match that reaches further: nothing
// it produced within two control bytes reaches 129 bytes. So the two bytes, read bit by bit as
// the decoders read them, fail the walk whatever the other bytes hold when a match of offset
// code 4 or more comes while fewer than 129 bytes are produced. Code 3 takes its offset from a
// byte: where the match began in the first control byte, that byte is where the first's
// literals and the second (if its bits were read) end, and the count is the first's alone, so
// that it fails where its offset reaches past the count. Codes the two bytes do not end are
// left to the walk. The second control byte comes after the first one's literals.
struct TwoControls {
    bool fail = false;
    unsigned literalsOfFirst = 0;
    bool nearDecides = false;    // a match of code 3 begun in the first byte
    unsigned nearAt = 0;         // where its offset byte is
    unsigned nearProduced = 0;   // and what it must stay below
};

template <UclMethod method>
constexpr TwoControls readTwoControls(unsigned first, unsigned second) {
    const unsigned bits = first << 8 | second;
    unsigned next = 0;
    TwoControls read;
    // False once both bytes are read: what follows decides.
    const auto bit = [&](unsigned& value) {
        if (next == 16) return false;
        value = bits >> (15 - next++) & 1;
        return true;
    };
    unsigned produced = 0;
    for (unsigned value = 0;;) {
        if (!bit(value)) return read;
        if (value != 0) {
            ++produced;
            read.literalsOfFirst += next <= 8;
            continue;
        }
        const bool beganInFirst = next <= 8;
        unsigned code = 1;
        if constexpr (method == UclMethod::nrv2b) {
            do {
                if (!bit(value)) return read;
                code = code * 2 + value;
                if (!bit(value)) return read;
            } while (value == 0);
        } else {
            for (;;) {
                if (!bit(value)) return read;
                code = code * 2 + value;
                if (!bit(value)) return read;
                if (value != 0) break;
                if (!bit(value)) return read;
                code = (code - 1) * 2 + value;
            }
        }
        if (code == 3) {
            read.nearDecides = beganInFirst;
            read.nearAt = 1 + read.literalsOfFirst + (next > 8 ? 1 : 0);
            read.nearProduced = produced;
            return read;
        }
        if (code > 3) {  // NRV2B's offset is 257 or more, NRV2D's 129 or more (it halves it)
            read.fail = produced < 129;
            return read;
        }
        // Code 2, then two length bits; zero starts a gamma code.
        unsigned length = 0;
        if (!bit(length) || !bit(value)) return read;
        length = length * 2 + value;
        if (length == 0) {
            length = 1;
            do {
                if (!bit(value)) return read;
                length = length * 2 + value;
                if (!bit(value)) return read;
            } while (value == 0);
            length += 2;
        }
        if (produced == 0) {  // the first step: nothing to copy from
            read.fail = true;
            return read;
        }
        produced += length + 1;
    }
}

// By first control byte: where the second is, for which second ones the walk fails, and for
// which a match of code 3 decides, with where its offset byte is and what it must stay below.
struct SecondControls {
    std::array<std::uint8_t, 256> at{};
    std::array<std::array<std::uint64_t, 4>, 256> fails{};  // a bit per second byte
    std::array<std::array<std::uint64_t, 4>, 256> nearDecides{};
    std::array<std::uint8_t, 256> nearAt{};
    std::array<std::uint16_t, 256> nearProduced{};
};

template <UclMethod method>
constexpr SecondControls secondControlsTable() {
    SecondControls table{};
    const auto firsts = firstControlTable<method>();
    for (unsigned first = 0; first < 256; ++first) {
        if (firsts[first] != mayGoOn) continue;  // the first byte decides, or the walk does
        // The first byte's literals do not depend on the second.
        table.at[first] = static_cast<std::uint8_t>(1 + readTwoControls<method>(first, 0).literalsOfFirst);
        for (unsigned second = 0; second < 256; ++second) {
            const TwoControls read = readTwoControls<method>(first, second);
            if (read.fail) table.fails[first][second / 64] |= std::uint64_t{1} << (second % 64);
            if (read.nearDecides) {
                table.nearDecides[first][second / 64] |= std::uint64_t{1} << (second % 64);
                table.nearAt[first] = static_cast<std::uint8_t>(read.nearAt);
                table.nearProduced[first] = static_cast<std::uint16_t>(read.nearProduced);
            }
        }
    }
    return table;
}

template <UclMethod method>
std::uint64_t screenOffsets(const std::uint8_t* first, unsigned count) {
    static constexpr auto table = firstControlTable<method>();
    static const SecondControls seconds = secondControlsTable<method>();  // too long a reckoning for the compiler
    constexpr const std::uint8_t* bareEnd = method == UclMethod::nrv2b ? nrv2bBareEnd : nrv2dBareEnd;
    constexpr std::size_t bareEndLength = method == UclMethod::nrv2b ? sizeof nrv2bBareEnd : sizeof nrv2dBareEnd;
    // NRV2D folds the low bit of the offset byte into the match length.
    constexpr unsigned offsetShift = method == UclMethod::nrv2b ? 0 : 1;
    // The bare end code as a word to compare the first bytes with.
    constexpr auto bareEndMask = ~std::uint64_t{0} >> (64 - 8 * bareEndLength);
    constexpr std::uint64_t bareEndWord = [] {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < bareEndLength; ++i) word |= std::uint64_t{bareEnd[i]} << (8 * i);
        return word;
    }();
    // Without a branch: on random bytes the first control byte's verdict is a guess at every offset.
    std::uint64_t possible = 0;
    std::uint64_t mayGoOnAfterFirst = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t* at = first + i;
        const unsigned entry = table[at[0]];
        const unsigned literals = entry & 15;
        const unsigned nearPasses = unsigned{(entry & near) != 0} & unsigned{(at[1 + literals] >> offsetShift) < literals};
        // Only a first byte below 0x80 (bareEndOnly) can begin the bare end code.
        const unsigned bareEndHere = ((loadLittleEndian64(at) ^ bareEndWord) & bareEndMask) == 0;
        possible |= std::uint64_t{nearPasses | bareEndHere} << i;
        mayGoOnAfterFirst |= std::uint64_t{entry == mayGoOn} << i;
    }
    // Only where the first byte let the offset through: in text, seldom.
    for (std::uint64_t left = mayGoOnAfterFirst; left != 0; left &= left - 1) {
        const auto i = static_cast<unsigned>(std::countr_zero(left));
        const std::uint8_t* at = first + i;
        const unsigned first = at[0];
        const unsigned second = at[seconds.at[first]];
        const std::uint64_t fails = seconds.fails[first][second / 64] >> (second % 64);
        const std::uint64_t nearDecides = seconds.nearDecides[first][second / 64] >> (second % 64);
        const std::uint64_t nearFails = (at[seconds.nearAt[first]] >> offsetShift) >= seconds.nearProduced[first];
        possible |= (~(fails | (nearDecides & nearFails)) & 1) << i;
    }
    return possible;
}

}  // namespace

std::uint64_t screenUclOffsets(UclMethod method, const std::uint8_t* first, unsigned count) {
    return method == UclMethod::nrv2b ? screenOffsets<UclMethod::nrv2b>(first, count)
                                      : screenOffsets<UclMethod::nrv2d>(first, count);
}

UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity, OnesRunIndex& onesRuns) {
    const bool isB = method == UclMethod::nrv2b;
    const std::uint8_t* bareEnd = isB ? nrv2bBareEnd : nrv2dBareEnd;
    const std::uint32_t bareEndLength = isB ? sizeof nrv2bBareEnd : sizeof nrv2dBareEnd;
    // Reading them may take the spare byte, as the decoders would.
    if (source[0] < 0x80 && sourceLength >= bareEndLength - 1 && std::memcmp(source, bareEnd, bareEndLength) != 0)
        return {false, 0};

    const UclOutcome outcome =
        isB ? StreamWalk<UclMethod::nrv2b, false>(source, sourceLength, capacity, onesRuns).run()
            : StreamWalk<UclMethod::nrv2d, false>(source, sourceLength, capacity, onesRuns).run();
    return {uclOutcomeIsStream(outcome), outcome.produced, outcome.taken, outcome.result};
}

UclVerdict precheckUclStream(UclMethod method, const std::uint8_t* source, std::uint32_t sourceLength,
                             std::uint32_t capacity) {
    OnesRunIndex onesRuns;
    return precheckUclStream(method, source, sourceLength, capacity, onesRuns);
}

UclDryRun::UclDryRun(UclMethod method, JoinBudget* shared)
    : method_(method), landmarks_(landmarksNearby.bytes, LandmarkMemo<State>::defaultBudget, shared, true) {}

bool uclOutcomeIsStream(const UclOutcome& outcome) {
    return outcome.result == UCL_E_OK || (outcome.result == UCL_E_INPUT_NOT_CONSUMED && outcome.produced != 0);
}

// A walk's side of the landmarks: each step it passes goes into the walk's stretch, and at
// landmarks the walk hops on.
class UclJoins {
public:
    static constexpr bool active = true;
    using State = UclDryRun::State;

    UclJoins(UclDryRun& dryRun, std::uint64_t offset)
        : walk_(dryRun.landmarks_, offset, firstJoiningStep),
          capacity_(dryRun.capacity_),
          offset_(offset),
          run_(dryRun.periodicRun_),
          inputSize_(dryRun.size_),
          recording(dryRun.recording_),
          resumptions_(dryRun.resumptions_) {
        // A walk from inside a long run: along its phase's known walk, or the first, recorded.
        if (dryRun.size_ - offset < runWorthLeaping) return;
        if ((offset < run_.start || offset >= run_.end) && !findRun(dryRun, offset)) return;
        if (!run_.leaps) return;
        runWalk_ = &run_.phases[run_.period == 1 ? 0 : (offset - run_.start) % run_.period];
        if (runWalk_->known) {
            leapAtStart_ = special_ = runWalk_->repeats;
            return;
        }
        runWalk_->known = true;
        recording = {};
        recording_ = special_ = true;
    }

    bool atStep(Count& taken, Count& bits, Count& lastOffset, Count& produced, UclOutcome&) {
        if (stepBegun_) {
            // The step just taken passed its checks; what it produced includes the literals of
            // a run of 0xff taken at once, which are exactly those taken one by one.
            const std::int64_t output = produced - stepProduced_;
            walk_.passed(output, need_, output - slack_);
            if (sinceMeeting_ != nullptr) [[unlikely]] noteStepSinceMeeting(output);
        }
        // Rare: a leap along a run's walk, a recording of one; the place after 0xff groups.
        bool meeting = false;
        if (special_) [[unlikely]] {
            // By value: a reference would keep the walk's state out of registers at every step.
            const Leap leap = specialStep({taken, bits, lastOffset, produced});
            if (leap.leapt) {
                taken = leap.at.taken;
                bits = leap.at.bits;
                lastOffset = leap.at.lastOffset;
                produced = leap.at.produced;
                meeting = true;
            }
        }
        if (skippedRun_) [[unlikely]] {
            skippedRun_ = false;
            meeting = true;
        }
        state_ = {offset_ + taken, bits, lastOffset};
        std::int64_t count = produced;
        bool moved = meeting && resumeAfterMeeting(count);
        if (!moved) {
            moved = walk_.at(state_, count, capacity_, meeting);
            if (moved && (sinceMeeting_ != nullptr || recording_)) [[unlikely]] noteHop(walk_.lastHop());
        }
        if (moved) {
            walkedFar_ = true;
            taken = static_cast<Count>(state_.position - offset_);
            bits = state_.bits;
            lastOffset = state_.lastOffset;
            produced = static_cast<Count>(count);
        }
        stepBegun_ = true;
        stepProduced_ = produced;
        need_ = Stretch::noCheck;
        slack_ = 0;
        return false;
    }
    // The step's match reaches `distance` back, checked with `producedThen` produced.
    void setDistance(Count distance, Count producedThen) {
        need_ = std::int64_t{distance} - (std::int64_t{producedThen} - stepProduced_);
    }
    // The step may end `slack` bytes past the capacity.
    void setSlack(Count slack) { slack_ = slack; }
    // The groups of a run of 0xff taken at once. Walks from every offset of the run with the
    // same phase leave it alike: where the walk began in it, they meet just after. Only
    // there, so that the meeting points a path keeps are those of the run at hand, not one
    // for each run it crosses.
    void skipped(Count positions, bool fromStart) {
        walk_.skipped(positions);
        skippedRun_ = fromStart;
    }
    void failedOwnCheck() { noteLastStep(); }
    void ended(int, Count, Count) {
        walk_.ended(state_);
        noteLastStep();
    }
    bool walkedFar() const { return walkedFar_; }

private:
    // Runs shorter than this are walked: leaping saves little there.
    static constexpr std::uint64_t runWorthLeaping = 256;

    struct WalkState {
        Count taken, bits, lastOffset, produced;
    };
    struct Leap {
        bool leapt;
        WalkState at;  // where it leapt to: walks from offsets of the same phase land alike
    };
    // The run of one value, or failing that of the shortest pattern, that starts at `offset`,
    // if it is long enough to leap along. Out of line, as most walks start in no such run.
    [[gnu::noinline]] bool findRun(UclDryRun& dryRun, std::uint64_t offset) {
        const std::uint8_t* at = dryRun.input_ + offset;
        const std::uint8_t* limit = dryRun.input_ + dryRun.size_;
        std::uint64_t length = dryRun.runs_.length(at, limit);
        unsigned period = 1;
        // Eight bytes alike a period apart, before the length is measured: nearly every start fails that.
        for (unsigned tried = 2; length < runWorthLeaping && tried <= UclDryRun::longestPeriod; ++tried) {
            if (limit - at < tried + 8 || loadLittleEndian64(at) != loadLittleEndian64(at + tried)) continue;
            length = periodicLength(at, std::min(limit, at + runWorthLeaping), tried);
            if (length < runWorthLeaping) continue;
            period = tried;
            length = periodicLength(at, limit, tried);
        }
        if (length < runWorthLeaping) return false;
        run_ = {};
        run_.start = offset;
        run_.end = offset + length;
        run_.period = period;
        run_.leaps = period > 1 || *at != 0xff;
        return true;
    }

    // Out of line, so that the common step stays small.
    [[gnu::noinline, gnu::cold]] Leap specialStep(WalkState now) {
        Leap leap{false, now};
        if (recording_ && stepBegun_) {  // the step just taken, as above
            const std::int64_t output = now.produced - stepProduced_;
            recording.sinceStart.addStep(output, need_, output - slack_);
        }
        if (!stepBegun_ && leapAtStart_) leap.leapt = leapAlongRun(leap.at.taken, leap.at.bits, leap.at.lastOffset, leap.at.produced);
        if (recording_) record(now.taken, now.bits, now.lastOffset, now.produced);
        special_ = recording_;
        return leap;
    }

    // A walk at state_ with `count` where many walks meet. The last walk that met here went on
    // to state `last` by steps that ask `toLast`; a count that passes them gets there too, as
    // the steps never depend on the count, only their checks do: the walk goes on from there,
    // where the last one ended, with one step or two. Walks from the offsets of one phase of a
    // run meet here with counts a few bytes apart, and the memo's hops, landing and tail
    // took as long again as the walk's own steps. False: the walk meets the memo.
    [[gnu::noinline]] bool resumeAfterMeeting(std::int64_t& count) {
        UclDryRun::Resumption& known = resumptions_[state_.position % UclDryRun::resumptionSlots];
        const bool resumes = known.from == state_ && known.toLast.passes(count, capacity_);
        if (resumes) {
            if (recording_) recording.sinceStart.add(known.toLast);
            count += known.toLast.produced;
            state_ = known.last;
            walk_.jumped();
        } else {
            known = {state_, state_, {}};
        }
        sinceMeeting_ = &known;
        return resumes;
    }
    // A hop of the walk, for the stretches that follow it: steps it took at once are steps all
    // the same (a recording that missed them gave a period of 720 bytes of a 12-byte pattern,
    // ten of them 0xff, 8 bytes of output).
    [[gnu::noinline]] void noteHop(const Stretch& hop) {
        if (sinceMeeting_ != nullptr) sinceMeeting_->toLast.add(hop);
        if (recording_) recording.sinceStart.add(hop);
    }
    // Out of line: most walks meet no others, and the check alone made the step slower.
    [[gnu::noinline]] void noteStepSinceMeeting(std::int64_t output) {
        sinceMeeting_->toLast.addStep(output, need_, output - slack_);
    }
    // Where this walk's last step begins, for the walks that meet where it met.
    void noteLastStep() {
        if (sinceMeeting_ != nullptr) sinceMeeting_->last = state_;
    }

    // The first walk of a run: each state it reaches inside the run, until one recurs.
    void record(Count taken, Count bits, Count lastOffset, Count produced) {
        if (offset_ + taken > run_.end) {  // it read past the run
            recording_ = false;
            return;
        }
        for (unsigned i = 0; i < recording.count; ++i) {
            const UclDryRun::RecordedState& at = recording.states[i];
            // The same state over the same bytes: a whole number of periods on.
            if (at.bits != bits || at.lastOffset != lastOffset || (taken - at.taken) % run_.period != 0) continue;
            UclDryRun::RunWalk& walk = *runWalk_;
            walk.repeats = true;
            walk.prefixTaken = at.taken;
            walk.prefixProduced = at.produced;
            walk.prefix = at.sinceStart;
            walk.bits = bits;
            walk.lastOffset = lastOffset;
            walk.periodTaken = taken - at.taken;
            walk.period = recording.sinceStart.after(at.sinceStart);
            recording_ = false;
            return;
        }
        if (recording.count == UclDryRun::recordedStates) {
            recording_ = false;
            return;
        }
        recording.states[recording.count++] = {taken, bits, lastOffset, produced, recording.sinceStart};
    }

    // A walk from offset_, inside run_ in the phase of runWalk_, at its start: the first walk's prefix
    // and as many of its periods as stay inside the run, short of the input's last byte, and
    // pass the room checks, taken at once. True when it leapt: walks from offsets of the same phase land alike, and meet there.
    bool leapAlongRun(Count& taken, Count& bits, Count& lastOffset, Count& produced) {
        const UclDryRun::RunWalk& run = *runWalk_;
        const std::uint64_t start = offset_ + run.prefixTaken;
        // A step's offset and length codes check that input is left even when their bits are
        // already at hand: a leap ends before the input's last byte, or the steps of a period
        // that takes it may fail where the first walk's passed.
        const std::uint64_t leapEnd = std::min(run_.end, inputSize_ - 1);
        if (start > leapEnd || !run.prefix.passes(0, capacity_)) return false;
        const std::uint64_t periods =
            run.period.timesPassing(run.prefixProduced, capacity_, (leapEnd - start) / run.periodTaken);
        if (periods == 0) return false;
        Stretch leap = run.prefix;
        leap.add(run.period.times(periods));
        walk_.passed(leap.produced, leap.need, leap.room);
        taken = static_cast<Count>(run.prefixTaken + periods * run.periodTaken);
        produced = static_cast<Count>(leap.produced);
        bits = run.bits;
        lastOffset = run.lastOffset;
        walk_.skipped(taken);
        walkedFar_ = true;
        return true;
    }

    LandmarkWalk<State, true> walk_;
    std::int64_t capacity_;
    std::uint64_t offset_;
    UclDryRun::PeriodicRun& run_;
    UclDryRun::RunWalk* runWalk_ = nullptr;  // of the phase the walk starts in
    std::uint64_t inputSize_;
    bool special_ = false;  // one of the two below
    bool leapAtStart_ = false;
    bool recording_ = false;
    UclDryRun::Recording& recording;  // the dry run's: nothing to set up for the other walks
    State state_{};
    bool stepBegun_ = false;
    std::int64_t stepProduced_ = 0;  // what the walk had produced when its current step began
    std::int64_t need_ = Stretch::noCheck;
    Count slack_ = 0;
    bool walkedFar_ = false;
    bool skippedRun_ = false;
    UclDryRun::Resumption* sinceMeeting_ = nullptr;  // of the place this walk met the others at, if any
    std::array<UclDryRun::Resumption, UclDryRun::resumptionSlots>& resumptions_;
};

UclVerdict UclDryRun::run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset, std::uint32_t capacity,
                          OnesRunIndex& onesRuns) {
    const auto sourceLength = static_cast<Count>(std::min<std::uint64_t>(size - offset, 0xFFFFFFFFu));
    if (size > 0xFFFFFFFFu || capacity >= 0x80000000u)
        return precheckUclStream(method_, input + offset, sourceLength, capacity, onesRuns);
    if (input != input_ || size != size_ || capacity != capacity_) {
        if (input != input_ || size != size_) runs_ = AnyByteRunIndex{};
        periodicRun_ = PeriodicRun{};
        resumptions_ = {};
        landmarks_.clear();
        input_ = input;
        size_ = size;
        capacity_ = capacity;
    }
    UclJoins joins(*this, offset);
    const UclOutcome outcome =
        method_ == UclMethod::nrv2b
            ? StreamWalk<UclMethod::nrv2b, true, UclJoins>(input + offset, sourceLength, capacity, onesRuns, &joins).run()
            : StreamWalk<UclMethod::nrv2d, true, UclJoins>(input + offset, sourceLength, capacity, onesRuns, &joins).run();
    walkedFar_ = joins.walkedFar() || outcome.taken > shortAttempt.bytes;
    return {uclOutcomeIsStream(outcome), outcome.produced, outcome.taken, outcome.result};
}

}  // namespace korvel
