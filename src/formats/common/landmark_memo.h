// Landmarks: how a dry run remembers where the walks of earlier offsets went, so that a walk
// that reaches a place one of them passed goes on from there in a few hops instead of stepping.
//
// At a step boundary the rest of a walk depends only on the decoder's state (an input position
// and the little state that goes with it), except for the checks that look at the count
// produced so far: a match must not reach before the first byte produced, and a step must fit
// in the output. Every state whose hash says so is a landmark (one in 16 at level 1, one in
// 256 at level 2, and so on), the same for every walk, so walks that merge meet their
// landmarks. A node is a landmark some walk reached; it keeps three edges:
//   - next: the following landmark on the path from here;
//   - up:   the following landmark of a higher level (of the same level at the top), so that
//           hops grow by 16 a level, as in a skip list;
//   - far:  where the last walk that hopped from here landed.
// Each edge keeps what its steps ask of the walk that takes them, as a Stretch: the bytes they
// produce, the least count that passes each of their lookbehind checks, and the most the count
// rises at a room check. A walk takes an edge only when the stretch passes as a whole, so it
// never hops over a step that would have ended it; where none passes it steps on by itself
// from the node it stands on, and meets the failing step exactly. No edge crosses a step that
// ends the stream (an end code, an error, the end of the input): the walker takes those itself.
//
// Walks make next edges (between landmarks they stepped from one to the other), and link the
// place where they end by a step every walk there ends alike with (the end of the stream, a
// format error, the end of the input) as a node marked `end`; follow() fills in up edges as it
// hops along next edges, and the nodes before an end get it as their up edge, so that a walk
// to the end of a long path takes a hop or two a level. The first nodes a walk hops from also
// get a far edge to where it landed: the next walk through them takes one hop, where the up
// edges would take one a level, each a cache miss.
//
// Memory: nodes of about 100 bytes within a budget (3 * 2^15 by default: some 11 MiB with the
// hash table), whatever the input's size, in huge pages once there are more than a few
// thousand. In a scan, the memos of every worker also share one JoinBudget: a memo holds its
// assured part of it, borrows huge pages beyond, and gives back what it drops, pages
// included; where it can borrow no more, it is full. Far from its start a walk makes fewer
// landmarks: within `nearby` positions (each dry run's own: 128 KiB to 1 MiB of input) every
// level, then from level 2 on for 16 times as far, and so on, so that a path through a large
// input keeps a bounded number of nodes a level. Positions never fall along an edge, and walks
// start at growing offsets, so the nodes behind the current offset are never reached again:
// when the budget is full they are dropped; if the nodes ahead still fill half of it, all go
// and the landmarks thin out: first `nearby` shrinks by 16 (down to 1/256 of its first value),
// then every level moves up one (a walk then steps up to 16 times further before it joins);
// when few are left they thicken again.
// Results never depend on what is kept.
//
// Tails: a walk that hopped steps on by itself from where it landed, up to 16 steps to its next
// landmark or its failing step. Walks from the offsets of a run of one value land alike but with
// counts a few bytes apart, and each fails a step or two before the one before it, so each
// stepped that stretch again. The steps after a landing (up to 32, and the state each starts
// at) are kept per landing node, in 64 slots; the next walk to land there takes at once those
// its count passes, each checked on its own, and decodes from the first that fails.
//
// Tuning, measured on the adversarial bench corpus: 16 to a level balances the steps before a
// walk's first landmark (about 16, the main cost of a walk that joins) against the nodes kept;
// denser landmarks, a budget of 2^18 or 2^19 and thinning by steps instead of positions all
// measured slower, as more of the time goes to looking landmarks up in a larger table (each
// lookup and hop is a cache miss); 2^16 was no faster than 2^17 but for the stored chains.
// The far edges made nodes some 30 bytes larger; the budget shrank to keep the memory.
//
// State needs `position` (never falling along a walk; two steps may share one, as NRV2 steps
// that take bits of the same control byte do) and `key()` (64 bits that tell states apart),
// and ==. A walk never meets the same state twice, or its decoder would loop forever.
// Thread safety: a LandmarkMemo belongs to one dry run, and so to one thread; the JoinBudget it
// shares is safe for any.
#pragma once

#include <algorithm>
#include <cassert>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include <sys/mman.h>

#include "core/join_budget.h"

namespace korvel {

// What a run of steps asks of the walk that takes them, relative to the count it had produced
// before the first of them.
struct Stretch {
    static constexpr std::int64_t noCheck = std::numeric_limits<std::int64_t>::min() / 4;
    std::int64_t produced = 0;  // by the steps together
    std::int64_t need = noCheck;  // a count below this fails a lookbehind check
    std::int64_t room = noCheck;  // the count rises this much at the latest room check

    // A step after these that produces `output`, fails its lookbehind check when the count
    // before it is below `needed`, and its room check when that count plus `roomNeeded` is
    // above the capacity.
    void addStep(std::int64_t output, std::int64_t needed, std::int64_t roomNeeded) {
        need = std::max(need, needed - produced);
        room = std::max(room, produced + roomNeeded);
        produced += output;
    }
    void add(const Stretch& later) {
        need = std::max(need, later.need - produced);
        room = std::max(room, produced + later.room);
        produced += later.produced;
    }
    bool passes(std::int64_t count, std::int64_t capacity) const { return count >= need && count + room <= capacity; }
    // What the steps after `first` (the first of these) ask, or a little more: a count that
    // passes the result passes them.
    Stretch after(const Stretch& first) const {
        return {produced - first.produced, need == noCheck ? noCheck : need + first.produced,
                room == noCheck ? noCheck : room - first.produced};
    }
    // How many times in a row, at most `most`, these steps pass from `count` on: the count only
    // grows, so a lookbehind check that passes once passes every time after, and the room
    // checks pass until the count has risen too far.
    std::uint64_t timesPassing(std::int64_t count, std::int64_t capacity, std::uint64_t most) const {
        if (count < need) return 0;
        if (room == noCheck) return most;
        const std::int64_t spare = capacity - room - count;
        if (spare < 0) return 0;
        if (produced == 0) return most;
        return std::min<std::uint64_t>(most, static_cast<std::uint64_t>(spare / produced) + 1);
    }
    // What these steps ask when taken `times` times in a row, once at least.
    Stretch times(std::uint64_t times) const {
        const auto count = static_cast<std::int64_t>(times);
        return {count * produced, need, room == noCheck ? noCheck : (count - 1) * produced + room};
    }
    // The `needed` of a step whose match reaches `distance` bytes back (0: no match).
    static std::int64_t reaching(std::uint32_t distance) { return distance != 0 ? std::int64_t{distance} : noCheck; }
};

// Storage for many nodes, in huge pages where the system gives them: a path through a large
// input touches megabytes of nodes, and on small pages each first touch costs a page fault.
// Less than a huge page comes from the heap, so that a dry run that keeps a few nodes costs
// little memory.
template <typename T>
struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) {}
    static constexpr std::size_t hugePage = std::size_t{2} << 20;
    T* allocate(std::size_t count) {
        if (count * sizeof(T) < hugePage) return std::allocator<T>().allocate(count);
        const std::size_t bytes = (count * sizeof(T) + hugePage - 1) / hugePage * hugePage;
        void* memory = std::aligned_alloc(hugePage, bytes);
        if (memory == nullptr) throw std::bad_alloc();
        madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: small pages work as well
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t count) {
        if (count * sizeof(T) < hugePage) return std::allocator<T>().deallocate(memory, count);
        std::free(memory);
    }
    // Gives the system back the pages wholly past the first `kept` of the `count` elements at
    // `memory`; touched again, they read as zeros. Storage on the heap is kept as it is.
    static void release(T* memory, std::size_t count, std::size_t kept) {
        if (count * sizeof(T) < hugePage) return;
        const auto base = reinterpret_cast<std::uintptr_t>(memory);
        const std::uintptr_t from = (base + kept * sizeof(T) + hugePage - 1) / hugePage * hugePage;
        const std::uintptr_t end = base + (count * sizeof(T) + hugePage - 1) / hugePage * hugePage;
        if (from < end) madvise(reinterpret_cast<void*>(from), end - from, MADV_DONTNEED);
    }
    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const { return true; }
};

template <typename State>
class LandmarkMemo {
public:
    using Index = std::uint32_t;
    static constexpr Index none = std::numeric_limits<Index>::max();
    // Nodes of about 100 bytes: 3 * 2^15 cover some 1.5 million steps ahead in about 10 MiB.
    static constexpr std::size_t defaultBudget = std::size_t{3} << 15;

    // `nearby`: how far from its start, in positions, a walk makes landmarks of every level;
    // 16 times as far it makes them from level 2 on, and so on.
    // `shared`: the scan's budget for the memos of all its workers, or none (then the memo
    // may always fill its own budget).
    // `tails`: whether walks keep what they step after a landing (see above), for walks
    // that are LandmarkWalks with tails.
    explicit LandmarkMemo(std::uint64_t nearby, std::size_t nodeBudget = defaultBudget, JoinBudget* shared = nullptr,
                          bool tails = false)
        : tails_(tails ? std::make_unique<Tail[]>(tailSlots) : nullptr),
          nearbyAtFirst_(nearby),
          nearby_(nearby),
          budget_(std::max<std::size_t>(nodeBudget, 4)),
          shared_(shared),
          held_(shared != nullptr ? std::min(budget_, firstNodes) : budget_) {
        if (shared_ != nullptr) shared_->join();
    }
    ~LandmarkMemo() {
        if (shared_ != nullptr) shared_->giveBack(borrowedPages_ * pageBytes);
    }
    LandmarkMemo(const LandmarkMemo&) = delete;
    LandmarkMemo& operator=(const LandmarkMemo&) = delete;

    // Whether `state`, `distance` positions after the start of a walk, is a landmark for it.
    // Walks join near their starts, so far from them the landmarks may thin out: a path to the
    // end of a large input then keeps about nearby / 16 nodes for each level.
    bool isLandmark(const State& state, std::uint64_t distance) const {
        std::uint64_t risesAt;
        return levelOf(state) >= levelNeeded(distance, risesAt);
    }
    // The level a landmark needs `distance` positions after a walk's start, and from how far on
    // it needs more.
    unsigned levelNeeded(std::uint64_t distance, std::uint64_t& risesAt) const {
        unsigned level = minLevel_;
        std::uint64_t reach = nearby_;
        for (; distance >= reach && level < levels; reach *= 16) ++level;
        risesAt = level < levels ? reach : std::numeric_limits<std::uint64_t>::max();
        return level;
    }
    // A state's hash, whose leading zero nibbles are its level. A single multiplication would
    // do for most inputs, but walks that move by a fixed step (nine-bit DCL literals) then met
    // landmarks in clusters with gaps of hundreds of steps between them.
    static std::uint64_t spread(const State& state) { return mix(state.key()); }

    // The node of `state`, made if it is new; none when the budget is full. Walks visit their
    // landmarks, and the place where they end by a step every walk ends alike with (the end of
    // the stream or of the input): linked there, later walks hop to their end.
    Index visit(const State& state) {
        if (2 * nodes_.size() >= slots_.size() && nodes_.size() < budget_) rehash(std::max<std::size_t>(1024, 2 * slots_.size()));
        std::size_t slot = slotOf(state);
        for (; slots_[slot] != none; slot = (slot + 1) & (slots_.size() - 1))
            if (nodes_[slots_[slot]].state == state) return slots_[slot];
        if (nodes_.size() >= held_ && !takeMore()) return none;
        // A few nodes, then the whole budget at once: growing by copies would touch every page
        // two or three times. Pages are taken as nodes fill them.
        if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::min(budget_, nodes_.empty() ? firstNodes : budget_));
        slots_[slot] = static_cast<Index>(nodes_.size());
        nodes_.push_back({state, none, none, none, static_cast<std::uint8_t>(levelOf(state)), false, {}, {}, {}});
        return slots_[slot];
    }
    // The walk stepped from landmark `from` to landmark `to` through `steps`.
    void link(Index from, Index to, const Stretch& steps) {
        Node& node = nodes_[from];
        if (node.next != none) return;
        node.next = to;
        node.toNext = steps;
    }
    // The walk from landmark `from` ended at `end` with a step every walk there ends alike with.
    void linkEnd(Index from, const State& end, const Stretch& steps) {
        const Index at = visit(end);
        if (at == none || at == from) return;
        nodes_[at].end = true;
        link(from, at, steps);
    }
    const State& state(Index node) const { return nodes_[node].state; }

    // Where a walk that stands at `node` with `produced` bytes gets by hops alone, with the
    // count it then has, and in `taken` the hops' steps together. Both go out through the
    // caller's own: returned in a struct, they were stored one field at a time and read back
    // by 16-byte loads, which stalled on those stores. Inlined: called, it made NRV2 1.1-1.4x as slow.
    [[gnu::always_inline]] Index follow(Index node, std::int64_t& produced, std::int64_t capacity, Stretch& taken) {
        // Nodes without an up edge met on the way, by level, and the stretch from each so far.
        Index pending[levels + 1];
        Stretch pendingSteps[levels + 1];
        unsigned pendingLevels = 0;  // a bit per level
        // The first nodes hopped from, and the stretch from each: they get a far edge to where
        // this walk lands, so that the next walk through them takes one hop.
        constexpr unsigned farFromCount = 4;
        Index farFrom[farFromCount];
        Stretch farSteps[farFromCount];
        unsigned farFroms = 0;
        taken = {};
        for (;;) {
            Node& at = nodes_[node];
            Index to;
            const Stretch* steps;
            if (at.far != none && at.toFar.passes(produced, capacity)) {
                to = at.far;
                steps = &at.toFar;
            } else if (at.up != none && at.toUp.passes(produced, capacity)) {
                to = at.up;
                steps = &at.toUp;
            } else if (at.next != none && at.toNext.passes(produced, capacity)) {
                if (at.up == none) {
                    pending[at.level] = node;
                    pendingSteps[at.level] = {};
                    pendingLevels |= 1u << at.level;
                }
                to = at.next;
                steps = &at.toNext;
            } else {
                for (unsigned i = 0; i < farFroms; ++i) {
                    Node& from = nodes_[farFrom[i]];
                    from.far = node;
                    // Field by field, for the same reason.
                    from.toFar.produced = farSteps[i].produced;
                    from.toFar.need = farSteps[i].need;
                    from.toFar.room = farSteps[i].room;
                }
                return node;
            }
            if (farFroms < farFromCount) {
                farFrom[farFroms] = node;
                farSteps[farFroms++] = {};
            }
            for (unsigned i = 0; i < farFroms; ++i) farSteps[i].add(*steps);
            taken.add(*steps);
            for (unsigned bits = pendingLevels; bits != 0; bits &= bits - 1)
                pendingSteps[std::countr_zero(bits)].add(*steps);
            produced += steps->produced;
            node = to;
            // The pending nodes below this one's level have found their up edge (the top level's
            // goes to the next node of its own level); all have at the end of their path.
            const unsigned level = nodes_[node].level;
            unsigned resolved = pendingLevels & ((1u << level) - 1);
            if (level == levels || nodes_[node].end) resolved = pendingLevels;
            for (unsigned bits = resolved; bits != 0; bits &= bits - 1) {
                Node& below = nodes_[pending[std::countr_zero(bits)]];
                below.up = node;
                below.toUp = pendingSteps[std::countr_zero(bits)];
            }
            pendingLevels &= ~resolved;
        }
    }

    // The steps walks took by themselves after they landed at a node: the next walk that lands
    // there takes those its count passes at once, instead of decoding them again. Walks from a
    // run land alike but with counts a little apart, so that each fails a step or two before
    // the last one did, and would otherwise step from the landing to there every time.
    static constexpr unsigned tailSteps = 32;
    struct Tail {
        Index node = none;
        unsigned steps = 0;   // recorded
        unsigned states = 0;  // known: states[i] is where step i starts
        State at[tailSteps + 1];
        Stretch step[tailSteps];
    };
    // None when the memo keeps no tails.
    Tail* tailOf(Index node) { return tails_ ? &tails_[node % tailSlots] : nullptr; }

    // Before a walk from `start`: makes room when the budget is full (see above).
    void prepare(std::uint64_t start) {
        if (nodes_.size() >= held_) makeRoom(start);
    }
    void clear() {
        nodes_.clear();
        slots_.clear();
        forgetTails();
        giveBackBeyond(0);
    }
    std::size_t size() const { return nodes_.size(); }
    // The nodes the memo may hold before it must borrow more, or is full.
    std::size_t held() const { return held_; }

private:
    static constexpr unsigned levels = 6;  // 16^6 steps a hop at the top
    static constexpr std::size_t firstNodes = 4096;
    static constexpr std::size_t tailSlots = 64;

    void forgetTails() {
        if (tails_)
            for (std::size_t slot = 0; slot < tailSlots; ++slot) tails_[slot].node = none;
    }

    // Out of line, as it runs seldom: inlined into a dry run's walk, it made the walk's own loop
    // slower.
    [[gnu::noinline]] void makeRoom(std::uint64_t start) {
        if (takeMore()) return;
        forgetTails();  // the nodes they belong to move or go
        const std::size_t full = nodes_.size();
        dropBehind(start);
        if (nodes_.size() > full / 2) {
            // Too many ahead: thin out far from the starts first, everywhere only after.
            nodes_.clear();
            slots_.clear();
            if (nearby_ > nearbyAtFirst_ / 256) nearby_ /= 16;
            else minLevel_ = std::min(minLevel_ + 1, levels);
        } else if (nodes_.size() < full / 8) {
            if (minLevel_ > 1) --minLevel_;
            else if (nearby_ < nearbyAtFirst_) nearby_ *= 16;
        }
        giveBackBeyond(nodes_.size());
    }

    struct Node {
        State state;
        Index next, up, far;
        std::uint8_t level;
        bool end;  // the path ends here, with a step every walk ends alike with
        Stretch toNext, toUp, toFar;
    };

    static std::uint64_t mix(std::uint64_t key) {
        key ^= key >> 31;
        key *= 0x7FB5D329728EA185u;
        key ^= key >> 27;
        key *= 0x81DADEF4BC2DD44Du;
        return key ^ (key >> 33);
    }
    // Level k: the hash's top 4k bits are zero (the top level takes all above).
    static unsigned levelOf(const State& state) {
        return std::min(levels, static_cast<unsigned>(std::countl_zero(spread(state) | 1)) / 4);
    }
    std::size_t slotOf(const State& state) const {
        return static_cast<std::size_t>(mix(state.key()) >> 40) & (slots_.size() - 1);
    }

    // With a shared budget, the first nodes are on the heap, and past them the memo holds whole
    // huge pages, as a page costs its whole size once touched. A page's charge covers its nodes'
    // share of the table too (four slots a node at most).
    static constexpr std::size_t nodesPerPage = HugePageAllocator<Node>::hugePage / sizeof(Node);
    static_assert(nodesPerPage > firstNodes);
    static constexpr std::size_t pageBytes = HugePageAllocator<Node>::hugePage + nodesPerPage * 4 * sizeof(Index);
    static constexpr std::size_t firstBytes = firstNodes * (sizeof(Node) + 4 * sizeof(Index));
    // However many share the budget, a memo keeps its first nodes: with none, no walk would
    // join, and a long run would cost a walk to its end at every offset.
    std::size_t assuredPages() const {
        const std::size_t assured = shared_->assured();
        return assured > firstBytes ? (assured - firstBytes) / pageBytes : 0;
    }
    void holdPages(std::size_t pages) {
        pages_ = pages;
        held_ = std::min(budget_, pages == 0 ? firstNodes : pages * nodesPerPage);
    }

    // One more page from the shared budget: an assured one, or a borrowed one.
    [[gnu::noinline]] bool takeMore() {
        if (shared_ == nullptr || held_ >= budget_) return false;
        if (pages_ >= assuredPages()) {
            if (!shared_->borrow(pageBytes)) return false;
            ++borrowedPages_;
        }
        holdPages(pages_ + 1);
        return true;
    }
    // Gives back the borrowed pages beyond those `kept` nodes need and one to grow in, and
    // their memory to the system.
    void giveBackBeyond(std::size_t kept) {
        if (borrowedPages_ == 0) return;
        const std::size_t needed = kept <= firstNodes ? 0 : (kept + nodesPerPage - 1) / nodesPerPage + 1;
        const std::size_t keep = std::max(needed, assuredPages());
        if (pages_ <= keep) return;
        const std::size_t back = std::min(borrowedPages_, pages_ - keep);
        borrowedPages_ -= back;
        shared_->giveBack(back * pageBytes);
        holdPages(pages_ - back);
        if (pages_ == 0) {
            // Back to the heap: the first page would stay touched.
            std::vector<Node, HugePageAllocator<Node>> few;
            few.reserve(firstNodes);
            few.assign(nodes_.begin(), nodes_.end());
            nodes_.swap(few);
        } else {
            HugePageAllocator<Node>::release(nodes_.data(), nodes_.capacity(), held_);
        }
    }

    // Drops the nodes before `start`. Edges only go forward, so none of the rest points to them.
    void dropBehind(std::uint64_t start) {
        std::vector<Index> moved(nodes_.size(), none);
        std::size_t kept = 0;
        for (std::size_t node = 0; node < nodes_.size(); ++node) {
            if (nodes_[node].state.position < start) continue;
            moved[node] = static_cast<Index>(kept);
            nodes_[kept++] = nodes_[node];
        }
        nodes_.resize(kept);
        for (Node& at : nodes_) {
            if (at.next != none) at.next = moved[at.next];
            if (at.up != none) at.up = moved[at.up];
            if (at.far != none) at.far = moved[at.far];
        }
        rehash(slots_.size());
    }
    // Slots for the nodes at half load at most: the table grows with them (the budget's
    // worth is about 2 MiB, too much for a dry run that seldom meets a landmark).
    void rehash(std::size_t slotCount) {
        slots_.assign(slotCount, none);
        for (std::size_t node = 0; node < nodes_.size(); ++node) {
            std::size_t slot = slotOf(nodes_[node].state);
            while (slots_[slot] != none) {
                assert(nodes_[slots_[slot]].state != nodes_[node].state && "landmarks never hold a state twice");
                slot = (slot + 1) & (slots_.size() - 1);
            }
            slots_[slot] = static_cast<Index>(node);
        }
    }

    std::unique_ptr<Tail[]> tails_;  // by node
    const std::uint64_t nearbyAtFirst_;
    std::uint64_t nearby_;  // thinned out when the nodes ahead fill the budget
    std::size_t budget_;
    JoinBudget* shared_;
    std::size_t held_;                // nodes it may hold now: its own budget, or what its pages hold
    std::size_t pages_ = 0;           // huge pages taken from the shared budget
    std::size_t borrowedPages_ = 0;   // of those, the ones beyond the assured part
    std::vector<Node, HugePageAllocator<Node>> nodes_;
    std::vector<Index> slots_;  // open addressing over nodes_, by the state's hash
    unsigned minLevel_ = 1;
};

// One walk's dealings with a memo, for a dry run's loop: at() at the top of every step (it may
// move the walk on along a known path), passed() for every step that passed its checks, and
// ended() when the walk ends by a step that ends every walk there alike.
// With `keepsTails`, walks that landed keep their steps on the memo's tails (see above): NRV2's,
// whose walks from runs land alike with counts a little apart. The others' walks are built
// without them: the mere checks made the deflate walk half as slow again.
template <typename State, bool keepsTails = false>
class LandmarkWalk {
public:
    using Memo = LandmarkMemo<State>;
    // Most walks end within a few steps; landmarks are looked at from the `firstJoiningStep`-th on.
    LandmarkWalk(Memo& memo, std::uint64_t start, unsigned firstJoiningStep)
        : memo_(memo), start_(start), firstJoiningStep_(firstJoiningStep) {
        memo_.prepare(start);
    }

    // True when the walk hopped. `anyway`: as meet(), which a walk's loop may call here so that
    // the memo's lookup is inlined into it once.
    bool at(State& place, std::int64_t& produced, std::int64_t capacity, bool anyway = false) {
        if constexpr (keepsTails) {
            if (tail_ != nullptr) noteTailState(place);
        }
        if (!anyway) {
            if (steps_ < firstJoiningStep_) {
                ++steps_;
                return false;
            }
            const std::uint64_t distance = place.position - start_;
            if (distance >= levelRisesAt_) levelShift_ = 64 - 4 * memo_.levelNeeded(distance, levelRisesAt_);
            if (Memo::spread(place) >> levelShift_ != 0) return false;
        }
        return meet(place, produced, capacity);
    }
    // at() for a place visited whatever its hash: one that many walks reach by the same leap,
    // so that they join there at once.
    bool meet(State& place, std::int64_t& produced, std::int64_t capacity) {
        if constexpr (keepsTails) tail_ = nullptr;  // a tail ends at a landmark
        const typename Memo::Index here = memo_.visit(place);
        if (here == Memo::none) {
            last_ = here;
            return false;
        }
        if (last_ != Memo::none) memo_.link(last_, here, sinceLast_);
        const typename Memo::Index landing = memo_.follow(here, produced, capacity, lastHop_);
        place = memo_.state(landing);
        last_ = landing;
        sinceLast_ = {};
        if (landing == here) return false;
        if constexpr (keepsTails) followTail(landing, place, produced, capacity);
        return true;
    }
    // The walk passed `positions` at once, with no step between (a run of 0xff taken whole):
    // they count for nothing in how far it is from its start, so that walks from every offset
    // of a long run still join as soon as they leave it.
    void skipped(std::uint64_t positions) {
        start_ += positions;
        levelRisesAt_ = 0;
    }
    // The walk moved on by other means: the steps since its last landmark no longer lead from it.
    void jumped() {
        last_ = Memo::none;
        sinceLast_ = {};
        if constexpr (keepsTails) tail_ = nullptr;
    }
    // The steps the last hop took, together.
    const Stretch& lastHop() const { return lastHop_; }
    void passed(std::int64_t output, std::int64_t needed, std::int64_t roomNeeded) {
        sinceLast_.addStep(output, needed, roomNeeded);
        if constexpr (keepsTails) {
            if (tail_ != nullptr) noteTailStep(output, needed, roomNeeded);
        }
    }
    void ended(const State& place) {
        if (last_ != Memo::none) memo_.linkEnd(last_, place, sinceLast_);
    }

private:
    using Tail = typename Memo::Tail;

    // After a hop to `node`: along the tail of the walks that landed there before, as far as
    // its steps pass, all at once; where the tail ends, the walk records its own steps onto it.
    [[gnu::noinline]] void followTail(typename Memo::Index node, State& place, std::int64_t& produced, std::int64_t capacity) {
        Tail* const kept = memo_.tailOf(node);
        if (kept == nullptr) return;
        Tail& tail = *kept;
        if (tail.node != node) {
            tail.node = node;
            tail.steps = 0;
            tail.states = 1;
            tail.at[0] = place;
            tail_ = &tail;
            tailStatePending_ = false;  // a step noted on the last tail ends nowhere on this one
            return;
        }
        unsigned step = 0;
        Stretch taken;
        std::int64_t count = produced;
        for (; step + 1 < tail.states; ++step) {  // steps whose end is known
            if (!tail.step[step].passes(count, capacity)) break;
            taken.add(tail.step[step]);
            count += tail.step[step].produced;
        }
        place = tail.at[step];
        produced = count;
        lastHop_.add(taken);
        sinceLast_ = taken;
        if (step + 1 == tail.states && tail.states <= Memo::tailSteps) {
            tail.steps = step;
            tail_ = &tail;  // its end: what this walk does next goes on the tail
            tailStatePending_ = false;
        }
    }
    [[gnu::noinline]] void noteTailState(const State& place) {
        if (!tailStatePending_) return;
        tailStatePending_ = false;
        tail_->at[tail_->states++] = place;
    }
    [[gnu::noinline]] void noteTailStep(std::int64_t output, std::int64_t needed, std::int64_t roomNeeded) {
        Tail& tail = *tail_;
        if (tail.steps == Memo::tailSteps || tail.states != tail.steps + 1) {
            tail_ = nullptr;
            return;
        }
        tail.step[tail.steps] = {};
        tail.step[tail.steps++].addStep(output, needed, roomNeeded);
        tailStatePending_ = true;
    }

    Memo& memo_;
    std::uint64_t start_;
    unsigned firstJoiningStep_;
    unsigned steps_ = 0;
    // A landmark's hash has its top 64 - levelShift_ bits zero, until levelRisesAt_.
    unsigned levelShift_ = 60;
    std::uint64_t levelRisesAt_ = 0;
    typename Memo::Index last_ = Memo::none;  // the walk's last landmark, and its steps since
    Stretch sinceLast_;
    Stretch lastHop_;
    Tail* tail_ = nullptr;           // the tail this walk's steps go on, since it landed
    bool tailStatePending_ = false;  // a step went on it: where the next one starts goes too
};

}  // namespace korvel
