#include "formats/deflate/deflate_dry_run.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "formats/common/lsb_bits.h"
#include "formats/common/tuning.h"
#include "formats/common/walked_input.h"
#include "formats/deflate/deflate_reading.h"

namespace korvel {

using namespace deflate_tables;

namespace {

// Tuning (see formats/common/tuning.h; the entries' window and parts are in the header).
// Walks join near their starts: landmarks of every level stay within 128 KiB of one, and thin
// out beyond; at 1 MiB the adversarial chains ran slower (their landmarks crowded the budget).
constexpr InputExtent landmarksNearby{128 << 10};
// Walks that end within 4 KiB without joining note no entries: short walks must not take the
// places of long ones, and random bytes pay nothing for them.
constexpr InputExtent noteEntriesBeyond{4 << 10};

// A state's context: 0 at a block header; inside a block, 1 | final << 1 | code << 2, where
// the code is 0 for the fixed one and the position of the block's header plus one for a
// dynamic one (its bits decide the code).
constexpr std::uint64_t atHeader = 0;
constexpr std::uint64_t inBlock(bool final, std::uint64_t code) { return 1 | std::uint64_t{final} << 1 | code << 2; }

// GCC's straight-line vectorizer copied each step's next state into the walk's by one 16-byte
// load of the two 8-byte stores just made, and the processor stalled on it at every step: the
// walks of periodic data ran a third slower.
#if defined(__GNUC__) && !defined(__clang__)
#define WITHOUT_SLP_VECTORIZING __attribute__((optimize("no-tree-slp-vectorize")))
#else
#define WITHOUT_SLP_VECTORIZING
#endif

}  // namespace

// The dynamic codes read last. The walks of a chain of dynamic blocks read the same headers
// one after another, and a walk that hops into a block needs its code again: codes are found by
// their header's position. Headers are kept whole too, up to 512 bits: a header with the same
// bits elsewhere (every block's, in a chain of like blocks) has the same code, and is not read
// again; a walk still tells its blocks apart by their positions.
struct DeflateDryRun::Tables {
    // peek() gives 56 bits at least, whatever the position's place in its byte.
    static constexpr unsigned keptWordBits = 56;
    static constexpr unsigned keptWords = 512 / keptWordBits + 1;
    struct Code {
        std::uint64_t code = 0;  // as in a context; 0: none yet
        InflateResult read = inflateComplete;  // reading its lengths: inflateComplete or the error
        std::uint64_t end = 0;   // the bit position after its lengths
        std::uint64_t generation = 0;  // counts the codes this slot held
        unsigned keptBits = 0;  // the header's bits after its first three, when read cleanly and kept
        std::uint64_t kept[keptWords];
        std::uint32_t literal[literalTableSize];
        std::uint32_t distance[distanceTableSize];
    };
    static constexpr std::size_t count = 16;
    Code codes[count];
    // Headers whose code is in a slot: their own, or that of a header with the same bits.
    struct Alias {
        std::uint64_t code = 0;
        std::uint64_t generation = 0;
        std::uint8_t slot = 0;
    };
    static constexpr std::size_t aliasCount = 64;
    Alias aliases[aliasCount];
    static std::size_t hash(std::uint64_t code) { return static_cast<std::size_t>((code * 0x9E3779B97F4A7C15u) >> 58); }
    Code& slotFor(std::uint64_t code) { return codes[hash(code) % count]; }
    Alias& aliasFor(std::uint64_t code) { return aliases[hash(code) % aliasCount]; }
    void clear() {
        for (Code& slot : codes) {
            slot.code = 0;
            slot.keptBits = 0;
        }
        for (Alias& alias : aliases) alias.code = 0;
    }
};

// A dynamic block's code, for the header at `code` - 1.
struct CodeAt {
    InflateResult read;
    std::uint64_t end;  // the bit position after the header, when read is inflateComplete
    const std::uint32_t* literal;
    const std::uint32_t* distance;
};

namespace {

// What one item does, from the input alone. The caller makes the two checks on the bytes
// produced: `distance` (0 for none) against them, then `out` against the room left.
struct Item {
    // The state after it, kept apart: copied whole, it was read back before its two halves
    // were stored, and the processor stalled on every step.
    std::uint64_t nextPosition = 0;
    std::uint64_t nextContext = 0;
    std::uint32_t out = 0;
    std::uint32_t distance = 0;
    bool ends = false;  // the walk ends after the checks, with `result`
    InflateResult result = inflateComplete;
    std::uint64_t endBit = 0;  // for inflateComplete

    // Adds this item, as a step that passed its checks, to `steps`.
    void addTo(Stretch& steps) const { steps.addStep(out, Stretch::reaching(distance), out); }
};

}  // namespace

// One walk: reads items at absolute bit positions, so that it can start from any state.
class DeflateDryRun::Walk {
public:
    Walk(const std::uint8_t* input, std::uint64_t size, Tables& tables)
        : input_(input), size_(size), totalBits_(size * 8), tables_(tables) {}

    [[gnu::always_inline]] Item item(const State& state) {
        if (state.context == atHeader) return header(state.position);
        return symbol(state);
    }

private:
    std::uint64_t available(std::uint64_t position) const { return totalBits_ - position; }

    // The bits from `position` on, zero past the end of the input.
    std::uint64_t peek(std::uint64_t position) const { return peekLsbBits(input_, size_, position); }

    // The decoder's reading (deflate_reading.h) at an absolute bit position.
    class Bits {
    public:
        Bits(const Walk& walk, std::uint64_t position) : walk_(walk), position_(position) {}
        void want(unsigned) {}
        void fill() {}
        std::uint64_t peek() const { return walk_.peek(position_); }
        std::uint64_t available() const { return walk_.available(position_); }
        void skip(unsigned n) { position_ += n; }
        std::uint64_t position() const { return position_; }

    private:
        const Walk& walk_;
        std::uint64_t position_;
    };

    [[gnu::always_inline]] Item ending(InflateResult result, std::uint64_t endBit = 0) const {
        Item item;
        item.ends = true;
        item.result = result;
        item.endBit = endBit;
        return item;
    }

    // A block ends after `item`: a header follows, or for the final block the stream ends there.
    [[gnu::always_inline]] static Item endOfBlock(Item item, bool final) {
        item.nextContext = atHeader;
        if (final) {
            item.ends = true;
            item.result = inflateComplete;
            item.endBit = item.nextPosition;
        }
        return item;
    }

    [[gnu::always_inline]] Item header(std::uint64_t position) {
        if (available(position) < 3) return ending(inflateInputEnded);
        const std::uint64_t bits = peek(position);
        const bool final = (bits & 1) != 0;
        const unsigned type = bits >> 1 & 3;
        const std::uint64_t headerPosition = position;
        position += 3;
        Item item;
        switch (type) {
            case 0: {
                // LEN starts at the next byte boundary.
                const std::uint64_t at = (position + 7) >> 3;
                const StoredLength stored = readStoredLength(input_ + at, size_ - at);
                if (stored.result != inflateComplete) return ending(stored.result);
                const unsigned length = stored.length;
                if (size_ - (at + 4) < length) return ending(inflateInputEnded);
                item.out = length;
                item.nextPosition = (at + 4 + length) * 8;
                return endOfBlock(item, final);
            }
            case 1:
                item.nextPosition = position;
                item.nextContext = inBlock(final, 0);
                return item;
            case 2: {
                const CodeAt code = dynamicCode(headerPosition + 1);
                if (code.read != inflateComplete) return ending(code.read);
                item.nextPosition = code.end;
                item.nextContext = inBlock(final, headerPosition + 1);
                return item;
            }
            default:
                return ending(inflateBadBlockType);
        }
    }

    [[gnu::always_inline]] Item symbol(const State& state) {
        const bool final = (state.context >> 1 & 1) != 0;
        const std::uint64_t code = state.context >> 2;
        const std::uint32_t* literalTable = fixedTables.literal;
        const std::uint32_t* distanceTable = fixedTables.distance;
        if (code != 0) {
            const CodeAt dynamic = dynamicCode(code);
            literalTable = dynamic.literal;
            distanceTable = dynamic.distance;
        }
        Bits bits(*this, state.position);
        const Symbol symbol = readSymbol<true>(bits, literalTable, distanceTable);
        Item item;
        item.nextPosition = bits.position();
        switch (symbol.kind) {
            case Symbol::Literal:
                item.out = 1;
                item.nextContext = state.context;
                return item;
            case Symbol::End:
                return endOfBlock(item, final);
            case Symbol::Match:
                item.out = symbol.value;
                item.distance = symbol.distance;
                item.nextContext = state.context;
                return item;
            case Symbol::Failed:
                break;
        }
        return ending(symbol.failure);
    }

    // The dynamic code of the block whose header is at `code` - 1: at hand, or that of a header
    // with the same bits, or read.
    CodeAt dynamicCode(std::uint64_t code) {
        Tables::Alias& alias = tables_.aliasFor(code);
        const std::uint64_t start = code - 1 + 3;
        if (alias.code != code || tables_.codes[alias.slot].generation != alias.generation) {
            std::size_t slot = 0;
            while (slot < Tables::count && !sameBits(tables_.codes[slot], start)) ++slot;
            if (slot == Tables::count) {
                Tables::Code& into = tables_.slotFor(code);
                slot = static_cast<std::size_t>(&into - tables_.codes);
                read(into, code);
            }
            alias = {code, tables_.codes[slot].generation, static_cast<std::uint8_t>(slot)};
        }
        const Tables::Code& at = tables_.codes[alias.slot];
        return {at.read, at.code == code ? at.end : start + at.keptBits, at.literal, at.distance};
    }

    void read(Tables::Code& into, std::uint64_t code) {
        const std::uint64_t start = code - 1 + 3;
        ++into.generation;
        into.code = code;
        into.end = start;
        into.read = readDynamicCode(into.end, into);
        const std::uint64_t bits = into.end - start;
        into.keptBits = 0;
        if (into.read != inflateComplete || bits > Tables::keptWordBits * Tables::keptWords) return;
        for (unsigned word = 0; word * Tables::keptWordBits < bits; ++word)
            into.kept[word] = peek(start + Tables::keptWordBits * word);
        into.keptBits = static_cast<unsigned>(bits);
    }

    // Whether the bits from `start` on are those of the header `code` keeps.
    bool sameBits(const Tables::Code& code, std::uint64_t start) const {
        if (code.keptBits == 0 || available(start) < code.keptBits) return false;
        constexpr unsigned wordBits = Tables::keptWordBits;
        for (unsigned word = 0; word * wordBits < code.keptBits; ++word) {
            const unsigned bits = std::min(wordBits, code.keptBits - word * wordBits);
            if (((peek(start + wordBits * word) ^ code.kept[word]) & ((std::uint64_t{1} << bits) - 1)) != 0) return false;
        }
        return true;
    }

    // Reads a dynamic block's code from `position`, just after its block header, into `into`,
    // as the decoder reads it. Moves `position` past it.
    InflateResult readDynamicCode(std::uint64_t& position, Tables::Code& into) {
        Bits bits(*this, position);
        CodeLengths code;
        const InflateResult read = readCodeLengths(bits, code);
        position = bits.position();
        if (read != inflateComplete) return read;
        return buildDynamicCodes(code.lengths, code.literalCount, code.distanceCount, into.literal, into.distance);
    }

    const std::uint8_t* input_;
    std::uint64_t size_;
    std::uint64_t totalBits_;
    Tables& tables_;
};

DeflateDryRun::DeflateDryRun(JoinBudget* shared)
    : landmarks_(landmarksNearby.bits(), LandmarkMemo<State>::defaultBudget, shared), tables_(std::make_unique<Tables>()), trace_(traceLimit) {}

DeflateDryRun::~DeflateDryRun() = default;

void DeflateDryRun::forget() {
    runs_ = AnyByteRunIndex{};
    runWalk_ = RunWalk{};
    landmarks_.clear();
    tables_->clear();
    entryParts_.clear();
    entriesBefore_ = 0;
}

DeflateDryRun::RunCycle DeflateDryRun::readCycle(State from, std::uint64_t runEnd) {
    // Eight bit places, each at a header or in a fixed block, final or not.
    constexpr unsigned statesAtMost = 24;
    // An item read here takes 42 bits at most (a stored block's header and lengths), all inside
    // the run; a dynamic block's code depends on where its header is, and its header may be long.
    constexpr std::uint64_t itemBitsAtMost = 64;
    struct Seen {
        std::uint64_t position;
        std::uint64_t context;
        Stretch sinceStart;
    };
    Seen seen[statesAtMost];
    Walk walk(input_, size_, *tables_);
    Stretch steps;
    State state = from;
    for (unsigned count = 0;;) {
        if (state.position + itemBitsAtMost > runEnd || state.context >> 2 != 0) return {};
        for (unsigned i = 0; i < count; ++i) {
            const Seen& at = seen[i];
            if (((at.position ^ state.position) & 7) != 0 || at.context != state.context) continue;
            return {true, at.position - from.position, at.sinceStart, at.context, state.position - at.position,
                    steps.after(at.sinceStart)};
        }
        if (count == statesAtMost) return {};
        seen[count++] = {state.position, state.context, steps};
        const Item item = walk.item(state);
        if (item.ends) return {};
        item.addTo(steps);
        state = {item.nextPosition, item.nextContext};
    }
}

DeflateDryRun::Leap DeflateDryRun::leapAlong(const RunCycle& cycle, std::uint64_t runEnd, std::uint64_t position,
                                             std::int64_t count, std::uint32_t capacity) {
    if (!cycle.repeats || !cycle.prefix.passes(count, capacity)) return {};
    const std::uint64_t first = position + cycle.prefixBits;
    if (first > runEnd) return {};
    const std::uint64_t periods =
        cycle.period.timesPassing(count + cycle.prefix.produced, capacity, (runEnd - first) / cycle.periodBits);
    if (periods == 0) return {};
    Leap leap{true, cycle.prefixBits + periods * cycle.periodBits, cycle.context, cycle.prefix};
    leap.steps.add(cycle.period.times(periods));
    return leap;
}

DeflateDryRun::Leap DeflateDryRun::leapAtStart(std::uint64_t offset, std::uint32_t capacity) {
    RunWalk& run = runWalk_;
    if (offset < run.runStart || offset >= run.runEnd) {
        const std::uint64_t length = runs_.length(input_ + offset, input_ + size_);
        if (length < runWorthLeaping) return {};
        run = {offset, offset + length, readCycle({offset * 8, atHeader}, (offset + length) * 8)};
    }
    return leapAlong(run.cycle, run.runEnd * 8, offset * 8, 0, capacity);
}

// Out of line: it runs seldom, and inlined it slowed the walk's own loop.
[[gnu::noinline]] DeflateDryRun::Leap DeflateDryRun::leapInRun(State state, std::int64_t count,
                                                                std::uint32_t capacity) {
    const std::uint64_t byte = state.position / 8;
    if (byte >= size_) return {};
    const std::uint64_t length = runs_.length(input_ + byte, input_ + size_);
    if (length < runWorthLeaping) return {};
    const std::uint64_t runEnd = (byte + length) * 8;
    return leapAlong(readCycle(state, runEnd), runEnd, state.position, count, capacity);
}

// The states the walk from a byte starts at, and in a fixed block the one after its header: a
// walk passes many states, and notes only these, so that those of short walks (or of walks
// from other bits) do not take their places.
bool DeflateDryRun::isEntry(const State& state) const {
    if (state.context == atHeader) return (state.position & 7) == 0;
    if ((state.position & 7) != 3 || state.context >> 2 != 0) return false;  // fixed blocks only
    const std::uint8_t header = input_[state.position / 8];
    return (header & 6) == 2 && inBlock(header & 1, 0) == state.context;
}

bool DeflateDryRun::joinsAtStart(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset) const {
    if (input != input_ || size != size_) return false;
    // Noted states in this byte are the walk's first or second.
    const Entry* entry = entryAt(offset);
    return entry != nullptr && entry->state.position / 8 == offset;
}

const DeflateDryRun::Entry* DeflateDryRun::entryAt(std::uint64_t byte) const {
    if (byte >= entriesBefore_) return nullptr;
    const std::unique_ptr<Entry[]>& part = entryParts_[byte % entryWindow / entryPart];
    return part ? &part[byte % entryPart] : nullptr;
}

const DeflateDryRun::Entry* DeflateDryRun::entryFor(const State& state) const {
    const std::uint64_t byte = state.position / 8;
    const Entry* entry = entryAt(byte);
    return entry != nullptr && entry->state == state ? entry : nullptr;
}

void DeflateDryRun::noteEntry(std::uint64_t offset, const State& state, const State& landing, const Stretch& toLanding) {
    const std::uint64_t byte = state.position / 8;
    if (byte <= offset || byte - offset >= entryWindow || !isEntry(state)) return;
    if (entryParts_.empty()) entryParts_.resize(entryWindow / entryPart);
    std::unique_ptr<Entry[]>& part = entryParts_[byte % entryWindow / entryPart];
    if (!part) part = std::make_unique<Entry[]>(entryPart);
    part[byte % entryPart] = {state, landing, toLanding};
    entriesBefore_ = std::max(entriesBefore_, byte + 1);
}

// The walk from `offset` stepped through the first `traced` steps of trace_ and landed, after
// `hop`, at `landing`.
void DeflateDryRun::noteEntries(std::uint64_t offset, std::size_t traced, const State& landing, const Stretch& hop) {
    Stretch rest = hop;
    for (std::size_t i = traced; i-- > 0;) {
        Stretch steps = trace_[i].steps;
        steps.add(rest);
        rest = steps;
        noteEntry(offset, trace_[i].state, landing, rest);
    }
}

// A walk that starts at a state another passed lands where that one did. The next such state
// on its path lands there too, after the steps to it: `next`, for the walk to note once it
// knows how far on it got from there.
bool DeflateDryRun::landFromEntry(State& state, std::int64_t& produced, std::uint32_t capacity, Walk& walk,
                                  Stretch& toLanding, Noted& next) {
    const Entry* found = entryFor(state);
    if (found == nullptr || !found->toLanding.passes(produced, capacity)) return false;
    const Entry entry = *found;
    next.valid = false;
    State place = state;
    Stretch steps;
    for (int item = 0; item < 32; ++item) {
        const Item after = walk.item(place);
        if (after.ends) break;
        after.addTo(steps);
        place = {after.nextPosition, after.nextContext};
        if (place.position >= entry.landing.position) break;
        if (place.position / 8 != state.position / 8 && isEntry(place)) {
            next = {true, place, entry.toLanding.after(steps)};
            break;
        }
    }
    produced += entry.toLanding.produced;
    state = entry.landing;
    toLanding = entry.toLanding;
    return true;
}

WITHOUT_SLP_VECTORIZING InflateOutcome DeflateDryRun::run(const std::uint8_t* input, std::uint64_t size,
                                                          std::uint64_t offset, std::uint32_t capacity) {
    if (walkAnother(input_, size_, input, size)) forget();
    if (offset >= size) return {};
    Walk walk(input, size, *tables_);
    State state{offset * 8, atHeader};
    std::int64_t produced = 0;
    // Only attempts that outgrew a short prefix come here: landmarks from the first step on.
    LandmarkWalk<State> landmarks(landmarks_, state.position, 0);
    bool joined = false;
    std::size_t traced = 0;
    bool tracing = true;  // the steps go into trace_ until the walk joins (or takes too many)
    Stretch toJoin;       // what joining (the first hop, or a landing) asked
    Stretch sinceJoin;    // what the walk's path asked after that
    Noted next;           // the next entry on the path, after a landing
    // The walk ends at `state`: where the walks from the places it passed, and from the next
    // entry after its landing, will land.
    const auto noteWhereItEnded = [&] {
        Stretch rest = toJoin;
        rest.add(sinceJoin);
        if (joined && next.valid) {
            Stretch fromNext = next.toLanding;
            fromNext.add(sinceJoin);
            noteEntry(offset, next.state, state, fromNext);
        }
        // A walk that ends within a few KiB notes nothing unless it joined: its states would take
        // the places of those of the long walks around it, and on random bytes, where the walks
        // that come here end within a few hundred bytes, the notes cost more than they save.
        if (traced != 0 && (joined || state.position - offset * 8 > noteEntriesBeyond.bits())) noteEntries(offset, traced, state, rest);
    };
    const auto outcome = [&](InflateResult result, std::uint64_t endBit = 0) {
        InflateOutcome answer{result, static_cast<std::uint32_t>(produced), 0,
                              joined || state.position - offset * 8 > shortAttempt.bits()};
        if (result == inflateComplete) answer.taken = (endBit + 7) / 8 - offset;
        return answer;
    };
    // Along a run, at once; walks that leap alike meet where they land.
    bool meeting = false;
    const auto leapBy = [&](const Leap& leap) {
        landmarks.passed(leap.steps.produced, leap.steps.need, leap.steps.room);
        landmarks.skipped(leap.bits);
        produced += leap.steps.produced;
        state.position += leap.bits;
        state.context = leap.context;
        if (joined) {
            sinceJoin.add(leap.steps);
        } else {
            joined = true;
            tracing = false;
            toJoin = leap.steps;
        }
        meeting = true;
    };
    if (mayStartInRun(offset)) [[unlikely]] {
        if (const Leap leap = leapAtStart(offset, capacity); leap.leapt) leapBy(leap);
    }
    for (unsigned step = 0;; ++step) {
        if (step % runCheckSteps == runCheckSteps - 1) [[unlikely]] {
            if (const Leap leap = leapInRun(state, produced, capacity); leap.leapt) leapBy(leap);
        }
        if (!joined && step < 2 && landFromEntry(state, produced, capacity, walk, toJoin, next)) {  // where entries are
            joined = true;
            tracing = false;
            landmarks.jumped();
        }
        if (landmarks.at(state, produced, capacity, meeting)) {
            if (joined) {
                sinceJoin.add(landmarks.lastHop());
            } else {
                joined = true;
                tracing = false;
                toJoin = landmarks.lastHop();
            }
        }
        meeting = false;
        // The distance check comes before the room check.
        const Item item = walk.item(state);
        if (item.ends || item.distance > produced || produced + item.out > capacity) noteWhereItEnded();
        if (item.distance > produced) return outcome(inflateDistanceTooFar);
        if (produced + item.out > capacity) return outcome(inflateOutputFull);
        if (item.ends) {
            landmarks.ended(state);
            produced += item.out;
            return outcome(item.result, item.endBit);
        }
        landmarks.passed(item.out, Stretch::reaching(item.distance), item.out);
        if (joined) item.addTo(sinceJoin);
        if (tracing) {
            if (traced == traceLimit) {
                tracing = false;
                traced = 0;  // too long to note
            } else {
                Traced& step = trace_[traced++];
                step.state = state;
                step.steps = {};
                item.addTo(step.steps);
            }
        }
        produced += item.out;
        state.position = item.nextPosition;
        state.context = item.nextContext;
    }
}

}  // namespace korvel
