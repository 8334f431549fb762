// A result sink that keeps what it is given, for comparing scans without touching the disk.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "engine/result_sink.h"
#include "output/saving.h"
#include "output/verdicts.h"

namespace korvel {

struct SinkEvent {
    enum Kind { Saved, Exhausted, WriteFailed } kind;
    std::string format;
    std::uint64_t offset;
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
    std::uint64_t end = 0;
    std::vector<std::uint8_t> before = {}, after = {};  // the surroundings, when the scan keeps them
    std::string verdict = {};                           // when a judging sink passed it on
    bool operator==(const SinkEvent&) const = default;
};

class RecordingSink : public ResultSink {
public:
    // Every `failEvery`-th save fails as a write would (0: none fails). After `stopAfter` saves
    // the sink says it has all it wants (0: never).
    explicit RecordingSink(unsigned failEvery = 0, unsigned stopAfter = 0) : failEvery_(failEvery), stopAfter_(stopAfter) {}

    bool save(const FoundStream& stream) override {
        noteOrder(stream.offset);
        const bool fails = failEvery_ != 0 && ++saves_ % failEvery_ == 0;
        events.push_back({fails ? SinkEvent::WriteFailed : SinkEvent::Saved, stream.format->name, stream.offset,
                          stream.size, {stream.bytes.begin(), stream.bytes.end()}, stream.end,
                          surroundings(stream).first, surroundings(stream).second, verdictOf(stream)});
        return !fails;
    }
    void exhausted(const FoundStream& stream) override {
        noteOrder(stream.offset);
        events.push_back({SinkEvent::Exhausted, stream.format->name, stream.offset, stream.size, {}, stream.end,
                          surroundings(stream).first, surroundings(stream).second, verdictOf(stream)});
    }
    void passed(std::uint64_t offset) override {
        if (!events.empty() && events.back().offset >= offset) passedTooEarly = true;
        passedOffsets.push_back(offset);
    }
    bool stopped() const override { return stopAfter_ != 0 && events.size() >= stopAfter_; }

    std::vector<SinkEvent> events;
    std::vector<std::uint64_t> passedOffsets;
    // A result came below an offset already passed, or an offset was passed with a result at
    // or past it already given.
    bool passedTooEarly = false;

private:
    void noteOrder(std::uint64_t offset) {
        if (!passedOffsets.empty() && offset < passedOffsets.back()) passedTooEarly = true;
    }
    static std::string verdictOf(const FoundStream& stream) {
        return stream.judgement ? verdictName(stream.judgement->verdict) : "";
    }
    static std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> surroundings(const FoundStream& stream) {
        const auto before = stream.surroundings.bytesBefore(), after = stream.surroundings.bytesAfter();
        return {{before.begin(), before.end()}, {after.begin(), after.end()}};
    }
    unsigned failEvery_;
    unsigned stopAfter_;
    unsigned saves_ = 0;
};

// The lines a file sink prints, collected; or, once `failWith` is set, refused with that error.
class CollectedLines : public LineWriter {
public:
    void write(std::string_view line) override {
        if (failWith != 0) {
            error_ = failWith;
            return;
        }
        text += line;
    }
    int error() const override { return error_; }

    std::string text;
    int failWith = 0;

private:
    int error_ = 0;
};

// A file sink's folders and files, kept in memory; or, once `refuse` is set, refused as a full
// disk refuses them.
class MemoryFiles : public FileSystem {
public:
    void makeFolder(const std::string& path) override { folders.push_back(path); }
    bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes) override {
        if (refuse) return false;
        files[path] = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
        return true;
    }
    std::vector<std::string> folders;
    std::map<std::string, std::vector<std::uint8_t>> files;
    bool refuse = false;
};

}  // namespace korvel
