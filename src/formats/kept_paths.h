// Kept paths: how the NRV2B/NRV2D dry run joins walks from nearby offsets. The other dry runs
// meet at landmarks (landmark_memo.h), which need a position that rises at every step; an NRV2
// match that repeats its offset may take no byte, so here steps may share a position.
//
// At the start of a step the rest of a walk depends only on the decoder's state there (an input
// position and the little state that goes with it), except for two checks that look at the
// bytes produced so far: a match must not reach before the first byte (its distance against
// them), and a step must fit in the output (what it produces against the room left). So a walk
// that reaches a state an earlier walk passed through follows that walk's path from there, and
// only those two checks can end it differently.
//
// A path keeps, per step, the state, R(i) (what the walk that made it had produced before the
// step) and two keys (in nodes of 16 steps, see KeptPath). A walk that joins at step j with c bytes produced has c + R(i) - R(j)
// before step i, so step i fails
//   - the distance check when distance(i) - R(i) > c - R(j): lookbehindKey(i) = distance - R(i)
//     (less what the step itself produced before its check: the literals a UCL step may skip);
//   - the room check when R(i + 1) - slack(i) > capacity - c + R(j): roomKey(i), where slack is
//     what a step may produce beyond the capacity (one byte for an NRV2D match).
// Both are first-above queries, answered from maxima over blocks of 64 and 4096 steps, with a
// tree over the 4096-step maxima once the path is kept: a few hundred steps at most whatever
// the path's length, and one comparison when no step fails (the usual case). A path
// ends where its walk ended: with a result that is the same for every walk that gets there (a
// complete stream, a format error, the end of the input), or open, where the walk that made it
// failed a check of its own, joined another path (a step of which its open end then is) or
// ran out of budget; a walk that gets past an open end walks on from there.
//
// Thread safety: a KeptPaths belongs to one dry run, and so to one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

template <typename State>
class KeptPath {
public:
    static constexpr std::int64_t noCheck = std::numeric_limits<std::int64_t>::min();

    // Nodes: the path keeps the state at every 16th step only, and each node's keys are the
    // largest of its steps'. A walk joins at a node; where a node's keys say that one of its
    // steps fails, the walk goes through that node's steps itself, and so meets the failure
    // exactly. 16 steps to a node keep a path at about 4 bytes a step.
    static constexpr std::size_t stepsPerNode = 16;

    std::size_t size() const { return states_.size(); }
    std::uint32_t producedBefore(std::size_t node) const {
        return node < states_.size() ? produced_[node] : endProduced;
    }

    // A step from `state`, with `producedBefore` bytes produced by this walk before it.
    void append(const State& state, std::uint32_t producedBefore) {
        foldPendingStep(producedBefore);
        if (stepsInNode_ == stepsPerNode || states_.empty()) {
            states_.push_back(state);
            produced_.push_back(producedBefore);
            lookbehindKeys_.push_back(noCheck);
            roomKeys_.push_back(noCheck);
            if (states_.size() % blockSize == 1) {
                lookbehindMaxima_.push_back(noCheck);
                roomMaxima_.push_back(noCheck);
            }
            if (states_.size() % superBlockSize == 1) {
                lookbehindSuperMaxima_.push_back(noCheck);
                roomSuperMaxima_.push_back(noCheck);
            }
            stepsInNode_ = 0;
        }
        ++stepsInNode_;
        pending_ = true;
        slack_ = 0;
    }
    // The last step is a match reaching `distance` bytes back, checked when this walk had
    // produced `producedThen` (the step may produce some bytes before its check).
    void setDistance(std::uint32_t distance, std::uint32_t producedThen) {
        raiseKey(lookbehindKeys_, lookbehindMaxima_, lookbehindSuperMaxima_, std::int64_t{distance} - producedThen);
    }
    // The last step may produce `slack` bytes beyond the capacity.
    void setSlack(std::uint32_t slack) { slack_ = slack; }
    // Drops the last step: the walk failed in it. A distance key it set stays with its node, a
    // bound from above that at worst sends a joining walk through that node by itself.
    void dropLast() {
        pending_ = false;
        if (stepsInNode_ != 1) {
            --stepsInNode_;
            return;
        }
        // The step began its node: the node goes with it.
        states_.pop_back();
        produced_.pop_back();
        lookbehindKeys_.pop_back();
        roomKeys_.pop_back();
        if (states_.size() % blockSize == 0) {
            lookbehindMaxima_.pop_back();
            roomMaxima_.pop_back();
        }
        if (states_.size() % superBlockSize == 0) {
            lookbehindSuperMaxima_.pop_back();
            roomSuperMaxima_.pop_back();
        }
        stepsInNode_ = stepsPerNode;  // the next step begins a node
    }
    // Ends the path open at `state`, where this walk had produced `produced`.
    void closeOpen(const State& state, std::uint32_t produced) {
        foldPendingStep(produced);
        open = true;
        openState = state;
        endProduced = produced;
    }
    // Ends the path with a result every walk that gets there meets.
    void closeAt(int result, std::uint64_t position, std::uint32_t produced) {
        foldPendingStep(produced);
        open = false;
        endResult = result;
        endPosition = position;
        endProduced = produced;
    }

    // Where a walk that joins at node `join` with `produced` bytes goes.
    struct Continuation {
        bool ends;               // at the path's end: endResult and endPosition answer
        bool alone;              // a step of node `next` fails: walk that node's steps alone
        State next;              // where the walk goes on, unless it ends
        std::uint32_t produced;  // the walk's count at `next`, or at the end
    };
    Continuation follow(std::size_t join, std::uint32_t produced, std::uint32_t capacity) const {
        const std::int64_t base = produced_[join];
        const std::size_t lookbehind = firstAbove(lookbehindKeys_, lookbehindMaxima_, lookbehindSuperMaxima_,
                                                  lookbehindTree_, join, std::int64_t{produced} - base);
        const std::size_t room = firstAbove(roomKeys_, roomMaxima_, roomSuperMaxima_, roomTree_, join,
                                            std::int64_t{capacity} - produced + base);
        const std::size_t failing = std::min(lookbehind, room);
        const auto producedAt = [&](std::size_t node) {
            return static_cast<std::uint32_t>(produced + (std::int64_t{producedBefore(node)} - base));
        };
        if (failing < size()) return {false, true, states_[failing], producedAt(failing)};
        return {!open, false, openState, producedAt(size())};
    }

    // Starts the path afresh, keeping its storage.
    void clear() {
        states_.clear();
        produced_.clear();
        lookbehindKeys_.clear();
        roomKeys_.clear();
        lookbehindMaxima_.clear();
        roomMaxima_.clear();
        lookbehindSuperMaxima_.clear();
        roomSuperMaxima_.clear();
        lookbehindTree_.clear();
        roomTree_.clear();
        slack_ = 0;
        stepsInNode_ = 0;
        pending_ = false;
        open = true;
        cursor = 0;
    }
    // Builds the trees over the 4096-step maxima; the path does not grow after this.
    void seal() {
        buildTree(lookbehindSuperMaxima_, lookbehindTree_);
        buildTree(roomSuperMaxima_, roomTree_);
    }

    // Puts the cursor on the first step at or past `position`.
    void seek(std::uint64_t position) {
        cursor = static_cast<std::size_t>(
            std::lower_bound(states_.begin(), states_.end(), position,
                             [](const State& state, std::uint64_t at) { return state.position < at; }) -
            states_.begin());
    }
    // Moves the cursor on to `state`'s position; true when the state is a step of this path,
    // the cursor then on that step. The steps' positions never fall, as a walk's do not; a walk
    // that leaps (a long stored block) gallops over the steps, so that the cost stays
    // logarithmic in the leap.
    bool find(const State& state) {
        const std::size_t count = states_.size();
        if (cursor < count && states_[cursor].position < state.position) {
            std::size_t below = cursor, step = 1;  // states_[below] is before the state
            while (below + step < count && states_[below + step].position < state.position) {
                below += step;
                step *= 2;
            }
            const auto first = states_.begin() + static_cast<std::ptrdiff_t>(below + 1);
            const auto last = states_.begin() + static_cast<std::ptrdiff_t>(std::min(below + step + 1, count));
            cursor = static_cast<std::size_t>(
                std::lower_bound(first, last, state.position,
                                 [](const State& step, std::uint64_t at) { return step.position < at; }) -
                states_.begin());
        }
        // Steps may share a position (an NRV2 match that repeats its offset takes no byte).
        for (std::size_t at = cursor; at < count && states_[at].position == state.position; ++at) {
            if (states_[at] == state) {
                cursor = at;
                return true;
            }
        }
        return false;
    }

    // How the path ends.
    bool open = true;
    State openState{};
    int endResult = 0;
    std::uint64_t endPosition = 0;
    std::uint32_t endProduced = 0;
    std::size_t cursor = 0;  // the joining walk's place

private:
    static constexpr std::size_t blockSize = 64;
    static constexpr std::size_t superBlockSize = 4096;

    // The room key of the last step, once what it produced is known.
    void foldPendingStep(std::uint32_t producedAfter) {
        if (!pending_) return;
        pending_ = false;
        raiseKey(roomKeys_, roomMaxima_, roomSuperMaxima_, std::int64_t{producedAfter} - slack_);
    }
    static void raiseKey(std::vector<std::int64_t>& keys, std::vector<std::int64_t>& maxima,
                         std::vector<std::int64_t>& superMaxima, std::int64_t value) {
        keys.back() = std::max(keys.back(), value);
        maxima.back() = std::max(maxima.back(), value);
        superMaxima.back() = std::max(superMaxima.back(), value);
    }
    // A max tree over `maxima`: node 1 is the root, leaves from `leaves` on.
    static void buildTree(const std::vector<std::int64_t>& maxima, std::vector<std::int64_t>& tree) {
        std::size_t leaves = 1;
        while (leaves < maxima.size()) leaves *= 2;
        tree.assign(2 * leaves, noCheck);
        std::copy(maxima.begin(), maxima.end(), tree.begin() + static_cast<std::ptrdiff_t>(leaves));
        for (std::size_t node = leaves - 1; node >= 1; --node) tree[node] = std::max(tree[2 * node], tree[2 * node + 1]);
    }
    // The first leaf from `from` on whose value is above `threshold`, or the leaf count if none.
    static std::size_t firstLeafAbove(const std::vector<std::int64_t>& tree, std::size_t from, std::int64_t threshold) {
        const std::size_t leaves = tree.size() / 2;
        if (from >= leaves) return leaves;
        std::size_t node = from + leaves;
        if (tree[node] > threshold) return from;
        // Up while this node is a right child, then over to the right sibling, until one holds
        // something above; then down to its first such leaf.
        for (;;) {
            while (node % 2 == 1) {
                node /= 2;
                if (node <= 1) return leaves;
            }
            ++node;
            if (tree[node] > threshold) break;
        }
        while (node < leaves) node = tree[2 * node] > threshold ? 2 * node : 2 * node + 1;
        return node - leaves;
    }
    static std::size_t firstAbove(const std::vector<std::int64_t>& keys, const std::vector<std::int64_t>& maxima,
                                  const std::vector<std::int64_t>& superMaxima, const std::vector<std::int64_t>& tree,
                                  std::size_t from, std::int64_t threshold) {
        const std::size_t count = keys.size();
        std::size_t i = from;
        while (i < count) {
            if (i % superBlockSize == 0 && superMaxima[i / superBlockSize] <= threshold) {
                if (tree.empty()) {
                    i += superBlockSize;
                } else {
                    const std::size_t next = firstLeafAbove(tree, i / superBlockSize + 1, threshold);
                    i = std::min(count, next * superBlockSize);
                }
            } else if (i % blockSize == 0 && maxima[i / blockSize] <= threshold) {
                i += blockSize;
            } else {
                if (keys[i] > threshold) return i;
                ++i;
            }
        }
        return count;
    }

    std::vector<State> states_;
    std::vector<std::uint32_t> produced_;
    std::vector<std::int64_t> lookbehindKeys_, roomKeys_;
    std::vector<std::int64_t> lookbehindMaxima_, roomMaxima_, lookbehindSuperMaxima_, roomSuperMaxima_;
    std::vector<std::int64_t> lookbehindTree_, roomTree_;
    std::uint32_t slack_ = 0;        // of the last step
    std::size_t stepsInNode_ = 0;    // steps in the last node so far
    bool pending_ = false;           // the last step's room key waits for what it produced
};

// The paths one dry run keeps: up to 16 (walks in a run of one byte value fall into as many
// phases as a code has bits), the most recent last, within a budget of nodes (about 64 bytes
// each with their maxima, so 4 bytes a step). A recording may take a quarter of the budget; keeping it drops the
// oldest paths until all fit, so that new regions of the input always get paths of their own.
template <typename State>
class KeptPaths {
public:
    using Path = KeptPath<State>;
    static constexpr std::size_t stepBudget = std::size_t{1} << 20;  // nodes: about 64 MiB
    static constexpr std::size_t recordingBudget = stepBudget / 4;
    static constexpr std::size_t pathCount = 16;
    static constexpr std::size_t worthKeeping = 4;  // nodes: shorter paths are seldom joined

    void clear() { paths_.clear(); }
    std::size_t steps() const {
        std::size_t total = 0;
        for (const auto& path : paths_) total += path->size();
        return total;
    }
    void seek(std::uint64_t position) {
        for (const auto& path : paths_) path->seek(position);
    }
    // The kept path that `state` is a step of (its cursor then on that step), or null.
    Path* find(const State& state) {
        for (const auto& path : paths_)
            if (path->find(state)) return path.get();
        return nullptr;
    }
    // An empty path for a walk to record into; its storage is reused from walk to walk.
    Path& startRecording() {
        if (!recording_) recording_ = std::make_unique<Path>();
        recording_->clear();
        return *recording_;
    }
    // Keeps the recorded path, once closed, if it is long enough, dropping the oldest paths
    // past the limits.
    void keepRecording() {
        if (recording_->size() < worthKeeping) return;
        recording_->seal();
        paths_.push_back(std::move(recording_));
        std::size_t total = steps();
        while (paths_.size() > pathCount || total > stepBudget) {
            total -= paths_.front()->size();
            paths_.erase(paths_.begin());
        }
    }

private:
    std::vector<std::unique_ptr<Path>> paths_;
    std::unique_ptr<Path> recording_;  // reused by the walks, moved into paths_ when kept
};
