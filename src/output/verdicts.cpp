#include "output/verdicts.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <queue>

namespace korvel {

namespace {

constexpr std::uint64_t noId = ~std::uint64_t{0};

// A stream alone, with no evidence, is plausible only when it is large and clearly compresses:
// the streams that ordinary bytes decode to by chance are short, or read about as many bytes as
// they produce (LZO copying literals out of machine code), or make runs out of a few bytes.
constexpr std::uint32_t plausibleMinimumSize = 1024;          // decoded bytes
constexpr std::uint64_t plausibleRatioTimesFour = 5;         // decoded at least 1.25 times the input
constexpr double plausibleMinimumEntropy = 1.5;              // bits per decoded byte
constexpr double plausibleMostRepeats = 0.5;                 // of the decoded bytes, equal to the one before
// Compressed bytes look random: real streams of a KiB and more read bytes of 6.5 bits each and
// more, while the walks that decode machine code or text by chance read its 4 to 6. Shorter
// streams cannot reach as many bits: they are allowed the difference.
constexpr double plausibleMinimumInputEntropy = 6.0;

// Evidence that also weighs what a stream decodes to (a checksum) is worth a decode only when
// something cheaper already points that way.
constexpr float checksumWorthBits = 6.0f;

// A field lines up with others' when at least this many other streams nearby, none overlapping
// the next, hold their own size at the same place, and their sizes are not all one value.
constexpr std::uint32_t layoutMinimumStreams = 6;
constexpr std::uint32_t layoutMinimumChosenStreams = 2;  // or this many judged real or plausible
constexpr std::uint64_t layoutReach = 1 << 20;  // bytes before the stream where the others count
constexpr float layoutBits = 16.0f;             // with the fewest streams sharing the place
constexpr float layoutBitsPerStream = 2.0f;      // for each further one, up to layoutMostStreams
constexpr std::uint32_t layoutMostStreams = 8;  // the streams each place remembers
constexpr float layoutSecondFieldBits = 8.0f;
// Only sizes of 512 and more make a layout: below that, fields equal to them are everywhere, and
// tables of small records (symbol tables) hold many fields equal to the sizes of the short
// streams their own bytes decode to.
// Round sizes count (a file system's pages hold 4,096 bytes): a layout shared by several streams
// is rare by chance anyway. A layout that others made holds smaller sizes too (the last few
// bytes of a file), but not the tiniest, and only when it is well established.
constexpr std::uint64_t layoutMinimumValue = 512;
constexpr std::uint64_t layoutSmallestValue = 16;

// Ends stay below 2^58 and format indexes below 64.
std::uint64_t familyKey(std::uint16_t format, std::uint64_t end) { return end | std::uint64_t{format} << 58; }

double entropyBits(std::span<const std::uint8_t> bytes) {
    std::array<std::uint64_t, 256> counts{};
    for (const std::uint8_t byte : bytes) ++counts[byte];
    return korvel::entropyBits(counts);
}

double repeatShare(std::span<const std::uint8_t> bytes) {
    std::uint64_t repeats = 0;
    for (std::size_t i = 1; i < bytes.size(); ++i) repeats += bytes[i] == bytes[i - 1];
    return bytes.size() < 2 ? 1.0 : static_cast<double>(repeats) / static_cast<double>(bytes.size() - 1);
}

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Real:
            return "real";
        case Verdict::Plausible:
            return "plausible";
        case Verdict::Noise:
            return "noise";
    }
    return "noise";
}

struct JudgingSink::Candidate {
    std::uint64_t offset;
    std::uint64_t end;  // 0: it filled the buffer
    std::uint32_t size;
    std::uint16_t format;  // index into formats_
    bool decided = false;
    bool startsWhereOneEnds = false;  // exactly, or after a field that holds one of its sizes
    bool followsChosen = false;       // and that stream was judged real or plausible
    std::uint8_t layoutFieldCount = 0;
    float bitsBesidesLayout = 0;  // what the input around it says without other streams' layout
    bool laidOutByFound = false;  // its layout is that of found streams, not of chosen ones
    std::array<SizeFieldMatch, 4> layoutFields{};  // its fields that may line up with other streams'
    std::uint64_t nextInFamily = noId;
    Judgement judgement;

    // Streams of one shape are copies of one another, as a table's entries are.
    std::uint64_t shape() const { return (end - offset) << 32 ^ size; }
};

struct JudgingSink::Family {
    std::uint16_t format;
    std::uint64_t end;
    std::uint64_t first = noId, last = noId;  // member ids, linked through nextInFamily
    std::uint32_t members = 0;
    bool followed = false;  // a stream of the format starts at its end, or after a size field there
    std::array<std::uint64_t, 4> followers{noId, noId, noId, noId};  // their ids
    // Judged before the scan passed its end, to bound what is held back: a member is real by
    // its own evidence alone, none is plausible (the best member is not known), and later
    // members are judged alone as they come.
    bool judged = false;
    bool hasChosen = false;
};

// The families still open, by key (format and end): open addressing with linear probing, since
// one is looked up for every stream found and a node per family would cost an allocation each.
class JudgingSink::OpenFamilies {
public:
    OpenFamilies() : slots_(1024) {}

    Family* find(std::uint64_t key) {
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            if (slots_[i].key == key) return &slots_[i].family;
            if (slots_[i].key == emptyKey) return nullptr;
        }
    }
    // The family of `key`, made empty when there was none; `created` tells which.
    Family& insert(std::uint64_t key, bool& created) {
        if (Family* family = find(key)) {
            created = false;
            return *family;
        }
        if (2 * (count_ + 1) > slots_.size()) grow();
        created = true;
        ++count_;
        std::size_t i = home(key);
        while (slots_[i].key != emptyKey) i = (i + 1) & mask();
        slots_[i] = {key, Family{}};
        return slots_[i].family;
    }
    void erase(std::uint64_t key) {
        std::size_t hole = home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == emptyKey) return;
            hole = (hole + 1) & mask();
        }
        --count_;
        // Moves back every later entry of the run that may not stay behind the hole.
        for (std::size_t next = (hole + 1) & mask(); slots_[next].key != emptyKey; next = (next + 1) & mask()) {
            const std::size_t wanted = home(slots_[next].key);
            if (((next - wanted) & mask()) >= ((next - hole) & mask())) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole].key = emptyKey;
    }

private:
    static constexpr std::uint64_t emptyKey = ~std::uint64_t{0};
    struct Slot {
        std::uint64_t key = emptyKey;
        Family family;
    };
    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15u) >> 32) & mask();
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.key == emptyKey) continue;
            std::size_t i = home(slot.key);
            while (slots_[i].key != emptyKey) i = (i + 1) & mask();
            slots_[i] = slot;
        }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// Where the streams of each format hold their sizes: per place, the latest streams that held
// one there, each starting at or after the end of the one before; and apart, the latest streams
// judged real or plausible that did.
class JudgingSink::Layouts {
public:
    explicit Layouts(std::size_t formats) : found_(formats * slotsPerFormat), chosen_(formats * slotsPerFormat) {}

    // `shape` tells streams apart by their sizes: copies of one table entry decode alike.
    void addFound(std::uint16_t format, const SizeFieldMatch& match, std::uint64_t offset, std::uint64_t end,
                  std::uint64_t shape) {
        found_[index(format, match)].add(offset, end, shape);
    }
    void addChosen(std::uint16_t format, const SizeFieldMatch& match, std::uint64_t offset, std::uint64_t end) {
        chosen_[index(format, match)].add(offset, end, 0);
    }

    // Other streams nearby with the field at the same place: found streams of as many shapes,
    // none of them its own, or streams judged real or plausible.
    std::uint32_t foundLike(std::uint16_t format, const SizeFieldMatch& match, std::uint64_t offset,
                            std::uint64_t shape) const {
        return found_[index(format, match)].othersNear(offset, shape, true);
    }
    std::uint32_t chosenLike(std::uint16_t format, const SizeFieldMatch& match, std::uint64_t offset) const {
        return chosen_[index(format, match)].othersNear(offset, 0, false);
    }

private:
    static constexpr std::size_t ringSize = layoutMostStreams;
    static constexpr std::size_t distances = StreamSurroundings::beforeCapacity;
    static constexpr std::size_t slotsPerFormat = 3 * 3 * 2 * 2 * distances;
    struct Supporter {
        std::uint64_t offset, shape;
    };
    struct Slot {
        std::array<Supporter, ringSize> ring{};
        std::uint8_t count = 0, next = 0;
        std::uint64_t lastEnd = 0;

        void add(std::uint64_t offset, std::uint64_t end, std::uint64_t shape) {
            if (offset < lastEnd) return;
            lastEnd = end;
            ring[next] = {offset, shape};
            next = static_cast<std::uint8_t>((next + 1) % ringSize);
            count = static_cast<std::uint8_t>(std::min<unsigned>(count + 1u, ringSize));
        }
        std::uint32_t othersNear(std::uint64_t offset, std::uint64_t shape, bool distinctShapes) const {
            std::uint32_t others = 0;
            for (std::size_t i = 0; i < count; ++i) {
                if (ring[i].offset == offset || ring[i].offset + layoutReach < offset) continue;
                bool counted = !distinctShapes || ring[i].shape != shape;
                for (std::size_t j = 0; counted && distinctShapes && j < i; ++j)
                    counted = ring[j].shape != ring[i].shape || ring[j].offset == offset ||
                              ring[j].offset + layoutReach < offset;
                others += counted;
            }
            return others;
        }
    };
    static std::size_t index(std::uint16_t format, const SizeFieldMatch& match) {
        const std::size_t width = match.place.width == 2 ? 0 : match.place.width == 4 ? 1 : 2;
        std::size_t slot = static_cast<std::size_t>(match.quantity);
        slot = slot * 3 + width;
        slot = slot * 2 + match.place.bigEndian;
        slot = slot * 2 + match.place.afterEnd;
        slot = slot * distances + match.place.distance;
        return format * slotsPerFormat + slot;
    }
    std::vector<Slot> found_;
    std::vector<Slot> chosen_;
};

// How many streams of each format start near an offset, for weighing tiling: where streams of a
// format are dense, one starts at any given byte by chance. Counts per block of the recent
// input, in a ring long enough that a family's blocks are still held when it is judged.
class JudgingSink::Density {
public:
    Density(std::size_t formats, std::uint64_t lookahead)
        : blocks_(static_cast<std::size_t>(lookahead / blockBytes) + 4), counts_(formats * blocks_) {}

    void add(std::uint16_t format, std::uint64_t offset) {
        Block& block = counts_[format * blocks_ + (offset / blockBytes) % blocks_];
        if (block.number != offset / blockBytes) block = {offset / blockBytes, 0};
        ++block.count;
    }
    // The chance of tiling by chance at `offset`, in bits: how rare starts are around it.
    float tilingBits(std::uint16_t format, std::uint64_t offset) const {
        const std::uint64_t middle = offset / blockBytes;
        std::uint64_t starts = 0;
        for (std::uint64_t number = middle == 0 ? 0 : middle - 1; number <= middle + 1; ++number) {
            const Block& block = counts_[format * blocks_ + number % blocks_];
            if (block.number == number) starts += block.count;
        }
        return std::clamp(std::log2(3.0f * blockBytes / static_cast<float>(std::max<std::uint64_t>(starts, 1))),
                          0.0f, realEvidenceBits);
    }

private:
    static constexpr std::uint64_t blockBytes = 4096;
    struct Block {
        std::uint64_t number = ~std::uint64_t{0};
        std::uint64_t count = 0;
    };
    std::size_t blocks_;
    std::vector<Block> counts_;
};

JudgingSink::JudgingSink(ResultSink& next, StreamDecoder& decoder, const std::vector<const FormatDescriptor*>& formats,
                         const JudgingSettings& settings)
    : next_(next),
      decoder_(decoder),
      formats_(formats),
      settings_(settings),
      families_(std::make_unique<OpenFamilies>()),
      layouts_(std::make_unique<Layouts>(formats.size())),
      density_(std::make_unique<Density>(formats.size(), settings.layoutLookahead)),
      nesting_(formats.size()),
      counts_(formats.empty() ? 0 : 1 + (*std::max_element(formats.begin(), formats.end(), [](auto* a, auto* b) {
                                              return a->index < b->index;
                                          }))->index) {}

JudgingSink::~JudgingSink() = default;

JudgingSink::Candidate& JudgingSink::candidate(std::uint64_t id) { return pending_[id - firstId_]; }

bool JudgingSink::failed() const { return failure_ != Failure::None || next_.failed(); }

bool JudgingSink::save(const FoundStream& stream) {
    arrive(stream, false);
    return true;
}

void JudgingSink::exhausted(const FoundStream& stream) { arrive(stream, true); }

void JudgingSink::passed(std::uint64_t offset) { advance(offset, false); }

void JudgingSink::finish() { advance(front_, true); }

void JudgingSink::arrive(const FoundStream& stream, bool filledBuffer) {
    advance(stream.offset, false);  // every result before this one has arrived
    const auto format = static_cast<std::uint16_t>(
        std::find(formats_.begin(), formats_.end(), stream.format) - formats_.begin());
    const std::uint64_t id = firstId_ + pending_.size();
    Candidate& found = pending_.emplace_back();
    found.offset = stream.offset;
    found.end = filledBuffer ? 0 : stream.end;
    found.size = stream.size;
    found.format = format;
    EvidenceList& evidence = found.judgement.evidence;

    const StreamSurroundings& around = stream.surroundings;
    const bool zlib = !filledBuffer && zlibHeaderBefore(around);
    if (const std::size_t length = gzipHeaderLength(around)) {
        EvidenceItem header{EvidenceKind::GzipHeader, gzipHeaderBits};
        header.at = stream.offset - length;
        evidence.add(header);
    }
    if (filledBuffer) {
        // No end, no family and no sizes to weigh: always shown, as a buffer to enlarge; real
        // with a gzip header before it.
        found.judgement.verdict = evidence.totalBits() >= realEvidenceBits ? Verdict::Real : Verdict::Plausible;
        found.decided = true;
        count(found);
        emitReady();
        return;
    }

    std::array<SizeFieldMatch, 16> matches;
    const SizeQuantities sizes{stream.end - stream.offset, stream.size, zlib ? stream.end - stream.offset + 6 : 0};
    const std::size_t matchCount = findSizeFields(around, sizes, matches);
    const std::span<const SizeFieldMatch> held(matches.data(), matchCount);
    const bool paired = weighSizeFields(held, evidence);
    std::array<SizeFieldMatch, 16> byBits;
    std::copy(held.begin(), held.end(), byBits.begin());
    std::sort(byBits.begin(), byBits.begin() + static_cast<long>(matchCount),
              [](const SizeFieldMatch& a, const SizeFieldMatch& b) { return sizeFieldBits(a) > sizeFieldBits(b); });
    for (std::size_t i = 0; i < matchCount && found.layoutFieldCount < found.layoutFields.size(); ++i) {
        if (byBits[i].value < layoutSmallestValue) continue;
        found.layoutFields[found.layoutFieldCount++] = byBits[i];
        if (byBits[i].value >= layoutMinimumValue)
            layouts_->addFound(format, byBits[i], stream.offset, stream.end, found.shape());
    }

    // It starts where a stream of its format ends, or just after a field right there that holds
    // one of its sizes (blocks laid back to back, each after its length). That family is still
    // open: the scan has not passed this offset.
    const auto follow = [&](std::uint64_t neighbourEnd) {
        Family* neighbour = families_->find(familyKey(format, neighbourEnd));
        if (neighbour == nullptr) return;
        found.startsWhereOneEnds = true;
        neighbour->followed = true;
        for (std::uint64_t& follower : neighbour->followers) {
            if (follower != noId) continue;
            follower = id;
            break;
        }
    };
    follow(stream.offset);
    for (const SizeFieldMatch& match : held)
        if (!match.place.afterEnd && match.place.distance == 0 && stream.offset >= match.place.width)
            follow(stream.offset - match.place.width);

    // A checksum of the decoded bytes is worth a decode only when cheaper evidence points that
    // way. A zlib header counts only with its Adler-32 after the end: alone, one deflate stream
    // in 2,000 has one by chance.
    const float bits = evidence.totalBits();
    if (zlib || bits >= checksumWorthBits || paired) {
        std::span<const std::uint8_t> decoded;
        if (decode(found, decoded) == StreamDecoder::Outcome::Decoded) {
            const auto after = around.bytesAfter();
            const std::uint32_t adler = adler32(decoded);
            if (zlib && after.size() >= 4 &&
                (std::uint32_t{after[0]} << 24 | std::uint32_t{after[1]} << 16 | std::uint32_t{after[2]} << 8 | after[3]) == adler) {
                EvidenceItem header{EvidenceKind::ZlibHeader, zlibHeaderBits};
                header.at = stream.offset - 2;
                evidence.add(header);
            } else if (EvidenceItem checksum{}; findChecksum(around, decoded, checksum)) {
                evidence.add(checksum);
            }
        }
    }
    density_->add(format, stream.offset);
    found.bitsBesidesLayout = evidence.totalBits();

    const std::uint64_t key = familyKey(format, stream.end);
    bool created = false;
    Family& family = families_->insert(key, created);
    if (family.judged) {
        ++family.members;
        found.judgement.familyEnd = family.end;
        found.judgement.familyMembers = family.members;
        if (!family.hasChosen && evidence.totalBits() >= realEvidenceBits) {
            found.judgement.verdict = Verdict::Real;
            found.judgement.chosen = family.hasChosen = true;
        }
        found.judgement.familyChosen = family.hasChosen;
        found.decided = true;
        count(found);
        return;
    }
    if (created) {
        family.format = format;
        family.end = stream.end;
        family.first = id;
        closing_.push({stream.end, key});
    } else {
        candidate(family.last).nextInFamily = id;
    }
    family.last = id;
    ++family.members;
    if (pending_.size() > settings_.maxPending) advance(front_, false);
}

void JudgingSink::advance(std::uint64_t front, bool everything) {
    front_ = std::max(front_, front);
    while (!closing_.empty()) {
        const auto [end, key] = closing_.top();
        // A family is whole once the scan has passed its end; its fields' layout, once the scan
        // has seen the streams of the lookahead after it.
        const bool due = everything || end + std::max<std::uint64_t>(settings_.layoutLookahead, 1) <= front_;
        const bool crowded = pending_.size() > settings_.maxPending;
        if (!due && !crowded) break;
        if (crowded && !due) {
            // Too much held back: the family the oldest stream waits for is judged as it is.
            const Candidate& oldest = pending_.front();
            const std::uint64_t oldestKey = familyKey(oldest.format, oldest.end);
            Family* family = families_->find(oldestKey);
            assert(family != nullptr && !family->judged && "a stream waits only for its family");
            if (family == nullptr) break;
            close(*family, true);
            family->judged = true;  // kept until the scan has passed its end, for later members
            family->first = family->last = noId;
            emitReady();
            continue;
        }
        closing_.pop();
        Family* family = families_->find(key);
        if (family == nullptr) continue;
        if (!family->judged) close(*family, false);
        families_->erase(key);
    }
    emitReady();
}

void JudgingSink::close(Family& family, bool early) {
    std::uint32_t maximumSize = 0;
    for (std::uint64_t id = family.first; id != noId; id = candidate(id).nextInFamily) {
        Candidate& member = candidate(id);
        maximumSize = std::max(maximumSize, member.size);
        weighNeighbours(family, member);
    }
    choose(family, maximumSize, early);
    settle(family);
}

// What only the streams around it can tell: where they hold their sizes, and tiling.
void JudgingSink::weighNeighbours(const Family& family, Candidate& member) {
    EvidenceList& evidence = member.judgement.evidence;
    // A field where other streams hold theirs is worth more than any field found by looking
    // around, the more the more streams share the place (a place that a coincidence made is
    // shared by fewer); a second one, holding the other kind of size, more again. How unlikely
    // the field is in itself only breaks ties.
    EvidenceItem layout{EvidenceKind::Layout, 0.0f};
    bool decodedLaidOut = false, compressedLaidOut = false;
    for (std::size_t i = 0; i < member.layoutFieldCount; ++i) {
        const SizeFieldMatch& field = member.layoutFields[i];
        // A small size, common in tables, lines up only with a place that every stream
        // remembered there shares, and only where it is no likelier than a coin toss as a field
        // found by looking around.
        const bool small = field.value < layoutMinimumValue;
        if (small && sizeFieldBits(field) < 0) continue;
        const std::uint32_t found = layouts_->foundLike(family.format, field, member.offset, member.shape());
        const std::uint32_t chosen = layouts_->chosenLike(family.format, field, member.offset);
        const std::uint32_t enough = small ? layoutMostStreams : layoutMinimumStreams;
        if (found < enough && chosen < layoutMinimumChosenStreams) continue;
        (field.quantity == SizeQuantity::Decoded ? decodedLaidOut : compressedLaidOut) = true;
        const std::uint32_t sharing = std::clamp(std::max(found, 2 * chosen), layoutMinimumStreams, layoutMostStreams);
        const float bits = layoutBits + layoutBitsPerStream * static_cast<float>(sharing - layoutMinimumStreams) +
                           std::max(0.0f, sizeFieldBits(field)) / 4;
        if (bits <= layout.bits) continue;
        layout.bits = bits;
        layout.field = field;
        layout.streams = std::max(found, chosen);
        member.laidOutByFound = found >= enough;
    }
    if (layout.bits > 0) {
        if (decodedLaidOut && compressedLaidOut) layout.bits += layoutSecondFieldBits;
        evidence.add(layout);
    }
    // Tiling with a stream judged real or plausible counts as much as streams are rare there;
    // tiling with the next stream, not judged yet, counts for less.
    if (member.followsChosen || family.followed) {
        const float atStart = member.followsChosen ? density_->tilingBits(family.format, member.offset) : 0.0f;
        const float atEnd =
            family.followed ? std::min(tilingMostBits, density_->tilingBits(family.format, family.end)) : 0.0f;
        EvidenceItem tiling{EvidenceKind::Tiling, std::min(realEvidenceBits, atStart + atEnd)};
        tiling.tilesAtStart = member.followsChosen;
        tiling.tilesAtEnd = family.followed;
        evidence.add(tiling);
        member.bitsBesidesLayout += tiling.bits;
    }
}

// The member the family is reported by, if any: real by its evidence, or plausible.
void JudgingSink::choose(Family& family, std::uint32_t maximumSize, bool early) {
    // At most one member is the real stream: the one with the most evidence, the earliest of equals.
    std::uint64_t strongest = noId;
    for (std::uint64_t id = family.first; id != noId; id = candidate(id).nextInFamily) {
        const float bits = candidate(id).judgement.evidence.totalBits();
        if (bits >= realEvidenceBits && (strongest == noId || bits > candidate(strongest).judgement.evidence.totalBits()))
            strongest = id;
    }
    if (strongest != noId) {
        candidate(strongest).judgement.verdict = Verdict::Real;
        candidate(strongest).judgement.chosen = true;
        return;
    }
    if (early) return;  // the best member is not known yet
    // The member most likely to be the real one: among those that decode to at least half of
    // what the largest does (not a walk that starts late and fell into step), the one that
    // starts where another stream ends, then the one that compresses best.
    std::uint64_t best = noId;
    const auto ratioAbove = [](const Candidate& a, const Candidate& b) {
        return std::uint64_t{a.size} * (b.end - b.offset) > std::uint64_t{b.size} * (a.end - a.offset);
    };
    for (std::uint64_t id = family.first; id != noId; id = candidate(id).nextInFamily) {
        const Candidate& member = candidate(id);
        if (std::uint64_t{member.size} * 2 < maximumSize) continue;
        if (best == noId) {
            best = id;
            continue;
        }
        const Candidate& held = candidate(best);
        if (member.startsWhereOneEnds != held.startsWhereOneEnds ? member.startsWhereOneEnds : ratioAbove(member, held))
            best = id;
    }
    Candidate& chosen = candidate(best);
    if (!sound(chosen)) return;
    chosen.judgement.verdict =
        chosen.judgement.evidence.totalBits() >= realEvidenceBits ? Verdict::Real : Verdict::Plausible;
    chosen.judgement.chosen = true;
}

// Hands the family's verdict on: to the streams that start where it ends, which may now tile
// with its chosen member, to the layout its chosen member makes for later streams, and to its
// members, which may now be passed on.
void JudgingSink::settle(Family& family) {
    // A member chosen only by a layout of chosen streams makes no layout of its own: in tables of
    // small values such layouts would feed on themselves.
    bool anyChosen = false;
    for (std::uint64_t id = family.first; id != noId; id = candidate(id).nextInFamily) {
        const Candidate& member = candidate(id);
        if (!member.judgement.chosen) continue;
        anyChosen = true;
        if (member.judgement.verdict == Verdict::Real && member.bitsBesidesLayout < realEvidenceBits &&
            !member.laidOutByFound)
            continue;
        for (std::size_t i = 0; i < member.layoutFieldCount; ++i)
            layouts_->addChosen(family.format, member.layoutFields[i], member.offset, member.end);
    }
    family.hasChosen = anyChosen;
    if (anyChosen)
        for (const std::uint64_t follower : family.followers)
            if (follower != noId && follower >= firstId_) candidate(follower).followsChosen = true;
    for (std::uint64_t id = family.first; id != noId; id = candidate(id).nextInFamily) {
        Candidate& member = candidate(id);
        member.judgement.familyEnd = family.end;
        member.judgement.familyMembers = family.members;
        member.judgement.familyChosen = anyChosen;
        member.decided = true;
        count(member);
    }
}

void JudgingSink::count(const Candidate& judged) {
    VerdictCounts& counts = counts_[formats_[judged.format]->index];
    ++(judged.judgement.verdict == Verdict::Real        ? counts.real
       : judged.judgement.verdict == Verdict::Plausible ? counts.plausible
                                                        : counts.noise);
}

bool JudgingSink::sound(const Candidate& candidate) {
    const std::uint64_t read = candidate.end - candidate.offset;
    if (candidate.size < plausibleMinimumSize || std::uint64_t{candidate.size} * 4 < plausibleRatioTimesFour * read)
        return false;
    std::array<std::uint64_t, 256> counts;
    if (decoder_.countBytes(candidate.offset, candidate.end, counts) != StreamDecoder::Outcome::Decoded ||
        entropyBits(counts) < std::min(plausibleMinimumInputEntropy, std::log2(static_cast<double>(read)) - 1.5))
        return false;
    std::span<const std::uint8_t> decoded;
    if (decode(candidate, decoded) != StreamDecoder::Outcome::Decoded) return false;
    return entropyBits(decoded) >= plausibleMinimumEntropy && repeatShare(decoded) <= plausibleMostRepeats;
}

void JudgingSink::emitReady() {
    while (!pending_.empty() && pending_.front().decided) {
        emit(pending_.front());
        pending_.pop_front();
        ++firstId_;
    }
}

void JudgingSink::emit(Candidate& held) {
    if (stopped() || failed()) return;
    const Verdict verdict = held.judgement.verdict;
    if (settings_.keep == JudgingSettings::Keep::RealAndPlausible && verdict == Verdict::Noise) return;
    const FormatDescriptor& format = *formats_[held.format];
    FoundStream stream{&format, held.offset, held.size, held.end, {}};
    stream.judgement = &held.judgement;
    if (held.end == 0) {
        next_.exhausted(stream);
        return;
    }
    NestingRule& nesting = nesting_[held.format];
    if (settings_.outer && verdict == Verdict::Noise && (held.judgement.familyChosen || nesting.hides(stream))) return;
    nesting.add(stream);
    if (settings_.needBytes) {
        switch (decode(held, stream.bytes)) {
            case StreamDecoder::Outcome::Decoded:
                break;
            case StreamDecoder::Outcome::NoBuffer:
                failure_ = Failure::NoBuffer;
                return;
            case StreamDecoder::Outcome::InputChanged:
            case StreamDecoder::Outcome::NotFound:  // the same bytes decode alike: it changed
                failure_ = Failure::InputChanged;
                failedOffset_ = held.offset;
                return;
        }
    }
    if (next_.save(stream) && settings_.stopAfter != 0 && ++kept_ == settings_.stopAfter) stopped_ = true;
}

StreamDecoder::Outcome JudgingSink::decode(const Candidate& held, std::span<const std::uint8_t>& bytes) {
    if (lastDecoded_.offset == held.offset && lastDecoded_.format == held.format) {
        bytes = lastDecoded_.bytes;
        return StreamDecoder::Outcome::Decoded;
    }
    const auto outcome = decoder_.decode(*formats_[held.format], held.offset, held.size, bytes);
    lastDecoded_ = {held.format, outcome == StreamDecoder::Outcome::Decoded ? held.offset : ~std::uint64_t{0}, bytes};
    return outcome;
}

}  // namespace korvel
