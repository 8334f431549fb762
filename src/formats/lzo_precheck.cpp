#include "formats/lzo_precheck.h"

#include <lzo/lzoconf.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Instruction fields of LZO1X, as lzo1x_d.ch reads them.
constexpr unsigned literalRunCodes = 16;   // codes below this at the top of the loop: literal runs
constexpr std::uint32_t farMatchBase = 0x4000;
constexpr std::uint32_t afterLiteralsBase = 0x801;
// No match reaches further back than a far match with every distance bit set.
constexpr std::uint64_t longestDistance = 0xBFFF;

// Paths shorter than this are not worth a slot; longer ones are cut (and left open) here.
constexpr std::size_t shortestKeptPath = 16;
constexpr std::size_t longestPath = std::size_t{1} << 21;
constexpr std::size_t stepsPerBlock = 64;
constexpr std::int64_t noDistance = std::numeric_limits<std::int64_t>::min();

}  // namespace

// Not consumed: the end code came before the end of the file, so other data follows the stream;
// a bare end code there is no stream.
bool LzoOutcome::accepted() const { return result == LZO_E_OK || (result == LZO_E_INPUT_NOT_CONSUMED && produced != 0); }

void LzoPrecheck::forget() {
    for (auto& path : paths_) {
        path.steps.clear();
        path.lastUse = 0;
    }
    recording_.steps.clear();
    recordingStopped_ = false;
    input_ = nullptr;
    size_ = 0;
    zeroRuns_ = ZeroRunIndex{};
}

// --- reading instructions ------------------------------------------------------------------

std::uint64_t LzoPrecheck::zerosAt(std::uint64_t position) const {
    return zeroRuns_.length(input_ + position, input_ + size_);
}

// The library adds 255 for each zero byte of a length code, checking one more input byte each
// time, then the first non-zero byte and a base. A run that reaches the input's end is an
// overrun. (Its check that the sum stays below 2^64 - 511 cannot fail on any real input.)
bool LzoPrecheck::readLength(std::uint64_t& position, std::uint64_t base, std::uint64_t& length) const {
    const std::uint64_t zeros = zerosAt(position);
    if (zeros == size_ - position) return false;
    length = 255 * zeros + base + input_[position + zeros];
    position += zeros + 1;
    return true;
}

LzoPrecheck::Instruction LzoPrecheck::read(std::uint64_t position, NodeKind kind) const {
    Instruction instruction;
    if (kind == AtInstruction) {
        if (size_ - position < 3) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        const unsigned code = input_[position++];
        if (code >= literalRunCodes) return readMatch(position, code);
        std::uint64_t count = code;
        if (count == 0 && !readLength(position, 15, count)) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        // Room for the run comes first, then the run and three more input bytes.
        instruction.length = count + 3;
        if (size_ - position < count + 6) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
        instruction.next = position + count + 3;
        instruction.nextKind = AfterLiterals;
        return instruction;
    }
    // The instruction before left at least three input bytes.
    const unsigned code = input_[position++];
    if (code >= literalRunCodes) return readMatch(position, code);
    const std::uint32_t low = (code >> 2) + (std::uint32_t{input_[position++]} << 2);
    if (kind == AfterLiterals) {
        instruction.distance = afterLiteralsBase + low;
        instruction.length = 3;
    } else {
        instruction.distance = 1 + low;
        instruction.length = 2;
    }
    return withTrailing(instruction, position);
}

LzoPrecheck::Instruction LzoPrecheck::readMatch(std::uint64_t position, unsigned code) const {
    Instruction instruction;
    if (code >= 64) {
        instruction.distance = 1 + ((code >> 2) & 7) + (std::uint32_t{input_[position++]} << 3);
        instruction.length = (code >> 5) + 1;
        return withTrailing(instruction, position);
    }
    const bool near = code >= 32;
    std::uint64_t count = near ? code & 31 : code & 7;
    if (count == 0) {
        if (!readLength(position, near ? 31 : 7, count) || size_ - position < 2) {
            instruction.ending = Ending::InputOverrun;
            return instruction;
        }
    }
    const std::uint32_t low = (input_[position] | std::uint32_t{input_[position + 1]} << 8) >> 2;
    position += 2;
    if (near) {
        instruction.distance = 1 + low;
    } else {
        const std::uint32_t distance = ((code & 8) << 11) + low;
        if (distance == 0) {  // the end code, whatever its length field says
            instruction.ending = Ending::EndCode;
            instruction.next = position;
            return instruction;
        }
        instruction.distance = distance + farMatchBase;
    }
    instruction.length = count + 2;
    return withTrailing(instruction, position);
}

// After the match is copied: the low two bits of the byte two back count the literals that
// follow; room for them, then them and three more input bytes.
LzoPrecheck::Instruction LzoPrecheck::withTrailing(Instruction instruction, std::uint64_t position) const {
    instruction.trailing = input_[position - 2] & 3;
    if (instruction.trailing == 0) {
        instruction.next = position;
        instruction.nextKind = AtInstruction;
        return instruction;
    }
    if (size_ - position < instruction.trailing + 3u) {
        instruction.ending = Ending::InputOverrun;
        return instruction;
    }
    instruction.next = position + instruction.trailing;
    instruction.nextKind = AfterMatch;
    return instruction;
}

// --- kept paths ----------------------------------------------------------------------------

std::uint64_t LzoPrecheck::Path::lengthOf(std::size_t step) const {
    const std::size_t count = steps.size();
    if (step + 1 < count) return steps[step + 1].produced - steps[step].produced - steps[step].trailing;
    if (ending == Ending::Continue) return openProduced - steps[step].produced - steps[step].trailing;
    return lastLength;
}

std::uint64_t LzoPrecheck::Path::endOfStep(std::size_t step) const {
    return steps[step].produced + lengthOf(step) + steps[step].trailing;
}

void LzoPrecheck::Path::buildTree() {
    const std::size_t blocks = (steps.size() + stepsPerBlock - 1) / stepsPerBlock;
    treeLeaves = 1;
    while (treeLeaves < blocks) treeLeaves *= 2;
    blockMaxima.assign(2 * treeLeaves, noDistance);
    for (std::size_t step = 0; step < steps.size(); ++step) {
        auto& leaf = blockMaxima[treeLeaves + step / stepsPerBlock];
        leaf = std::max(leaf, reach(step));
    }
    for (std::size_t node = treeLeaves - 1; node >= 1; --node)
        blockMaxima[node] = std::max(blockMaxima[2 * node], blockMaxima[2 * node + 1]);
}

std::size_t LzoPrecheck::Path::firstAbove(std::size_t from, std::int64_t threshold) const {
    const std::size_t count = steps.size();
    const std::size_t firstBlockEnd = std::min(count, (from / stepsPerBlock + 1) * stepsPerBlock);
    for (std::size_t step = from; step < firstBlockEnd; ++step)
        if (reach(step) > threshold) return step;
    if (firstBlockEnd == count) return count;
    // The first block after that one whose maximum is above: right along the tree, then down.
    std::size_t node = treeLeaves + firstBlockEnd / stepsPerBlock;
    while (blockMaxima[node] <= threshold) {
        while (node & 1) node >>= 1;
        if (node == 0) return count;
        ++node;
    }
    while (node < treeLeaves) node = blockMaxima[2 * node] > threshold ? 2 * node : 2 * node + 1;
    const std::size_t blockStart = (node - treeLeaves) * stepsPerBlock;
    for (std::size_t step = blockStart; step < std::min(count, blockStart + stepsPerBlock); ++step)
        if (reach(step) > threshold) return step;
    return count;
}

std::int64_t LzoPrecheck::Path::reach(std::size_t step) const {
    const auto& s = steps[step];
    return s.distance == 0 ? noDistance : std::int64_t{s.distance} - std::int64_t{s.produced};
}

void LzoPrecheck::Path::seek(std::uint64_t position) {
    if (position < origin) {
        cursor = 0;
        return;
    }
    const std::uint64_t relative = position - origin;
    cursor = static_cast<std::size_t>(
        std::partition_point(steps.begin(), steps.end(), [&](const PathStep& s) { return s.position < relative; }) -
        steps.begin());
}

void LzoPrecheck::Path::track(std::uint64_t start, std::uint64_t position) {
    const std::size_t count = steps.size();
    if (startCursor > count || (startCursor > 0 && positionOf(startCursor - 1) >= start)) startCursor = 0;
    for (int hop = 0; startCursor < count && positionOf(startCursor) < start; ++hop) {
        if (hop == 8) {
            seek(start);
            startCursor = cursor;
            break;
        }
        ++startCursor;
    }
    cursor = startCursor;
    find(position, AtInstruction);
}

bool LzoPrecheck::Path::find(std::uint64_t position, NodeKind kind) {
    const std::size_t count = steps.size();
    // Short hops step through; a long literal run may skip a great many nodes.
    for (int hop = 0; cursor < count && positionOf(cursor) < position; ++hop) {
        if (hop == 8) {
            seek(position);
            break;
        }
        ++cursor;
    }
    return cursor < count && positionOf(cursor) == position && steps[cursor].kind == kind;
}

// From step `step` on, the walk makes the same checks as the one that made the path, each with
// its produced count moved by `shift`. With a smaller count (shift < 0) only a lookbehind check
// can fail, with a larger one only a room check; either is found in O(log n).
bool LzoPrecheck::follow(const Path& path, std::size_t step, Walk& walk, LzoOutcome& outcome) const {
    const std::size_t count = path.steps.size();
    const std::int64_t shift = static_cast<std::int64_t>(walk.produced) - path.steps[step].produced;
    const auto producedAt = [&](std::uint64_t pathProduced) {
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(pathProduced) + shift);
    };

    std::size_t lookbehindFailure = count;
    // A walk that has produced the longest distance already passes every lookbehind check.
    if (shift < 0 && walk.produced < longestDistance) lookbehindFailure = path.firstAbove(step, shift);

    std::size_t roomFailure = count;
    const std::int64_t limit = static_cast<std::int64_t>(capacity_) - shift;
    if (static_cast<std::int64_t>(path.endOfStep(count - 1)) > limit) {
        // The first step whose end is beyond the limit: the ends only grow along the path.
        std::size_t low = step;
        std::size_t high = count - 1;
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (static_cast<std::int64_t>(path.endOfStep(middle)) > limit)
                high = middle;
            else
                low = middle + 1;
        }
        roomFailure = low;
    }

    if (lookbehindFailure < count && lookbehindFailure <= roomFailure) {
        outcome = {LZO_E_LOOKBEHIND_OVERRUN, producedAt(path.steps[lookbehindFailure].produced)};
        return true;
    }
    if (roomFailure < count) {
        const std::uint64_t before = path.steps[roomFailure].produced;
        const std::uint64_t afterLength = before + path.lengthOf(roomFailure);
        outcome = {LZO_E_OUTPUT_OVERRUN,
                   producedAt(static_cast<std::int64_t>(afterLength) > limit ? before : afterLength)};
        return true;
    }
    const auto& last = path.steps[count - 1];
    switch (path.ending) {
        case Ending::EndCode:
            outcome = {path.endPosition == size_ ? LZO_E_OK : LZO_E_INPUT_NOT_CONSUMED, producedAt(last.produced),
                       path.endPosition};
            return true;
        case Ending::InputOverrun:
            outcome = {LZO_E_INPUT_OVERRUN,
                       producedAt(last.produced + (last.trailing != 0 ? path.lastLength : 0))};
            return true;
        case Ending::Continue:
            break;
    }
    walk = {path.endPosition, path.openKind, static_cast<std::uint64_t>(producedAt(path.openProduced))};
    return false;
}

void LzoPrecheck::startRecording(const Walk& walk, bool tracking) {
    recording_.steps.clear();
    recording_.origin = walk.position;
    recordingStopped_ = false;
    if (tracking)
        for (auto& path : paths_)
            if (!path.steps.empty()) path.seek(walk.position);
}

void LzoPrecheck::record(const Walk& walk, const Instruction& instruction) {
    if (recordingStopped_) return;
    if (recording_.steps.size() == longestPath || walk.position - recording_.origin > UINT32_MAX) {
        // Cut here: the path stays open at this node.
        recordingStopped_ = true;
        recording_.ending = Ending::Continue;
        recording_.endPosition = walk.position;
        recording_.openKind = walk.kind;
        recording_.openProduced = static_cast<std::uint32_t>(walk.produced);
        return;
    }
    recording_.steps.push_back({static_cast<std::uint32_t>(walk.position - recording_.origin),
                                static_cast<std::uint32_t>(walk.produced),
                                static_cast<std::uint16_t>(instruction.distance), walk.kind, instruction.trailing});
}

// Ends the recorded walk at `walk`'s node and keeps it if it is long enough. `last` is the
// instruction just recorded when the walk ended with it, null when it failed a room or
// lookbehind check there (the path is then open at that node).
void LzoPrecheck::finishRecording(const Walk& walk, const Instruction* last) {
    if (recording_.steps.size() < shortestKeptPath) return;
    if (!recordingStopped_) {
        if (last == nullptr) {
            recording_.ending = Ending::Continue;
            recording_.endPosition = walk.position;
            recording_.openKind = walk.kind;
            recording_.openProduced = static_cast<std::uint32_t>(walk.produced);
        } else {
            recording_.ending = last->ending;
            recording_.lastLength = last->length;
            recording_.endPosition = last->next;
        }
    }
    Path* slot = &paths_[0];
    for (auto& path : paths_)
        if (path.lastUse < slot->lastUse) slot = &path;
    std::swap(*slot, recording_);
    slot->buildTree();
    slot->lastUse = ++useClock_;
    recording_.steps.clear();
}

// --- the walk ------------------------------------------------------------------------------

LzoOutcome LzoPrecheck::run(const std::uint8_t* input, std::uint64_t size, std::uint64_t offset,
                            std::uint32_t capacity) {
    if (input != input_ || size != size_) {
        forget();
        input_ = input;
        size_ = size;
    }
    capacity_ = capacity;

    if (offset >= size) return {LZO_E_INPUT_OVERRUN, 0};
    // A rest of the input that is all zeros runs off its end in the first length code, before
    // anything is produced. Trailing zero padding is common, and this settles it in O(1).
    if (input[offset] == 0 && zeroRuns_.length(input + offset, input + size) == size - offset)
        return {LZO_E_INPUT_OVERRUN, 0};
    Walk walk{offset, AtInstruction, 0};
    // A first byte above 17 is a literal run of that minus 17, to be followed by a match; up to
    // three of them are read as a match's trailing literals.
    if (input[offset] > 17) {
        const std::uint64_t count = input[offset] - 17u;
        if (capacity < count) return {LZO_E_OUTPUT_OVERRUN, 0};
        if (size - offset - 1 < count + 3) return {LZO_E_INPUT_OVERRUN, 0};
        walk = {offset + 1 + count, count < 4 ? AfterMatch : AfterLiterals, count};
    }
    startRecording(walk, false);

    // Most walks end within a few instructions; the kept paths are looked at from the
    // `firstJoiningStep`-th on.
    constexpr unsigned firstJoiningStep = 3;
    unsigned stepCount = 0;
    for (;; ++stepCount) {
        Path* joined = nullptr;
        if (stepCount >= firstJoiningStep) {
            for (auto& path : paths_) {
                if (path.steps.empty()) continue;
                if (stepCount == firstJoiningStep) path.track(offset, walk.position);
                if (path.find(walk.position, walk.kind)) {
                    joined = &path;
                    break;
                }
            }
        }
        if (joined != nullptr) {
            joined->lastUse = ++useClock_;
            LzoOutcome outcome;
            if (follow(*joined, joined->cursor, walk, outcome)) return outcome;
            startRecording(walk, true);  // on past the open end
            continue;
        }

        const Instruction instruction = read(walk.position, walk.kind);
        const std::uint64_t produced = walk.produced;
        if (instruction.distance > produced) {
            finishRecording(walk, nullptr);
            return {LZO_E_LOOKBEHIND_OVERRUN, static_cast<std::uint32_t>(produced)};
        }
        if (capacity - produced < instruction.length) {
            finishRecording(walk, nullptr);
            return {LZO_E_OUTPUT_OVERRUN, static_cast<std::uint32_t>(produced)};
        }
        const std::uint64_t withLength = produced + instruction.length;
        if (capacity - withLength < instruction.trailing) {
            finishRecording(walk, nullptr);
            return {LZO_E_OUTPUT_OVERRUN, static_cast<std::uint32_t>(withLength)};
        }
        record(walk, instruction);
        switch (instruction.ending) {
            case Ending::EndCode:
                finishRecording(walk, &instruction);
                return {instruction.next == size ? LZO_E_OK : LZO_E_INPUT_NOT_CONSUMED,
                        static_cast<std::uint32_t>(produced), instruction.next};
            case Ending::InputOverrun:
                finishRecording(walk, &instruction);
                // The literals after a match are checked once the match is copied.
                return {LZO_E_INPUT_OVERRUN,
                        static_cast<std::uint32_t>(instruction.trailing != 0 ? withLength : produced)};
            case Ending::Continue:
                walk = {instruction.next, instruction.nextKind, withLength + instruction.trailing};
                break;
        }
    }
}
