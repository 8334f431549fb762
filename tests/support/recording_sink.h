// A result sink that keeps what it is given, for comparing scans without touching the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/result_sink.h"

struct SinkEvent {
    enum Kind { Saved, Exhausted, WriteFailed } kind;
    std::string format;
    std::uint64_t offset;
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
    std::uint64_t end = 0;
    bool operator==(const SinkEvent&) const = default;
};

class RecordingSink : public ResultSink {
public:
    // Every `failEvery`-th save fails as a write would (0: none fails).
    explicit RecordingSink(unsigned failEvery = 0) : failEvery_(failEvery) {}

    bool save(const FoundStream& stream) override {
        const bool fails = failEvery_ != 0 && ++saves_ % failEvery_ == 0;
        events.push_back({fails ? SinkEvent::WriteFailed : SinkEvent::Saved, stream.format->name, stream.offset,
                          stream.size, {stream.bytes.begin(), stream.bytes.end()}, stream.end});
        return !fails;
    }
    void exhausted(const FoundStream& stream) override {
        events.push_back({SinkEvent::Exhausted, stream.format->name, stream.offset, stream.size, {}, stream.end});
    }

    std::vector<SinkEvent> events;

private:
    unsigned failEvery_;
    unsigned saves_ = 0;
};
